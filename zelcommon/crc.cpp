// SPDX-License-Identifier: Apache-2.0
// CRC-32 with the reflected polynomial 0xEDB88320: a slicing table of 16 rows for the data and
// a ladder of zero-append operators for joining the CRCs of adjacent pieces.
#include "crc.h"

#include <stdint.h>
#include <string.h>

#include <bit>

namespace {

constexpr uint32_t kPoly = 0xEDB88320U;

// Both tables are computed when the program is compiled; mycrc32_init has nothing left to do.
struct CrcState {
    // Row 0: the register change caused by one byte value; row k: the same byte carried
    // through k further zero bytes.
    uint32_t crc_table[16][256];
    // Level i: the operator that appends 2^i zero bytes, split by the register byte (k = 0
    // is the lowest) it is applied to.
    uint32_t crc_combine_table[32][4][256];
};

constexpr void crc_generate_main_tables(CrcState &st) {
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t c = b;
        for (int bit = 0; bit < 8; bit++) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
        st.crc_table[0][b] = c;
    }
    for (int k = 1; k < 16; k++) {
        for (uint32_t b = 0; b < 256; b++) {
            uint32_t prev = st.crc_table[k - 1][b];
            st.crc_table[k][b] = (prev >> 8) ^ st.crc_table[0][prev & 0xFF];
        }
    }
}

// A 32 x 32 operator over GF(2) is kept as 32 column words: column n is the image of bit n.
constexpr uint32_t crc_matrix_times(const uint32_t *m, uint32_t vec) {
    uint32_t sum = 0;
    for (int n = 0; vec != 0; n++, vec >>= 1) {
        if (vec & 1) sum ^= m[n];
    }
    return sum;
}

// sqr = m applied twice: every column of m sent through m once more.
constexpr void crc_matrix_square(uint32_t *sqr, const uint32_t *m) {
    for (int n = 0; n < 32; n++) sqr[n] = crc_matrix_times(m, m[n]);
}

constexpr void crc_generate_combine_tables(CrcState &st) {
    uint32_t op[32] = {};
    uint32_t sq[32] = {};
    // One zero bit: the bit leaving at the bottom brings in the polynomial, the others move
    // down one place.
    op[0] = kPoly;
    for (int n = 1; n < 32; n++) op[n] = 1U << (n - 1);
    crc_matrix_square(sq, op);  // two zero bits
    crc_matrix_square(op, sq);  // four zero bits
    for (int i = 0; i < 32; i++) {
        crc_matrix_square(sq, op);  // level i: 2^i zero bytes
        for (int n = 0; n < 32; n++) op[n] = sq[n];
        // The operator is linear: the entry of b is the entry of b without its lowest set
        // bit, plus the column of that bit.
        for (int k = 0; k < 4; k++) {
            uint32_t *entry = st.crc_combine_table[i][k];
            entry[0] = 0;
            for (uint32_t b = 1; b < 256; b++) {
                entry[b] = entry[b & (b - 1)] ^ op[8 * k + std::countr_zero(b)];
            }
        }
    }
}

constexpr CrcState make_tables() {
    CrcState st{};
    crc_generate_main_tables(st);
    crc_generate_combine_tables(st);
    return st;
}

constexpr CrcState st = make_tables();

inline uint32_t load_le32(const unsigned char *p) {
    uint32_t w;
    memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
    return w;
}

inline uint32_t byte_step(uint32_t c, unsigned char byte) {
    return (c >> 8) ^ st.crc_table[0][(c ^ byte) & 0xFF];
}

}  // namespace

extern "C" void mycrc32_init(void) {}

/*
 * Why the tables give the CRC. The register holds the remainder of the data, seen as a
 * polynomial over GF(2), divided by the generator; it is kept bit-reversed, so the oldest data
 * bit sits in bit 0 and each step shifts right. Taking in one byte means: add (XOR) the byte to
 * the low eight register bits, then shift eight times, adding the polynomial whenever a 1 falls
 * out at the bottom. What those eight shifts add depends only on the low byte after the XOR;
 * the upper 24 bits merely move down by 8. So row 0 of the table, indexed by that byte, gives
 * the whole effect of one byte in one look-up (the byte step).
 *
 * Everything here is linear over GF(2): the effect of several bytes is the XOR of their
 * separate effects, each carried through the bytes that follow it. A byte value followed by k
 * more bytes contributes row 0 of it pushed through k zero bytes, which is row k. In a block of
 * 16 bytes the register lines up with the first four bytes (both leave the register during the
 * first four steps), so it is XORed into them; then every byte of the block takes one look-up
 * in the row named by how many bytes of the block still follow it: the first byte row 15, the
 * last row 0. The XOR of the 16 results is the register after the block.
 *
 * Why this shape. The 16 look-ups of a block are independent of each other, and only the four
 * on the first word wait for the previous register. The twelve on the later words are summed
 * first and the four on the register last, so the chain from block to block is one look-up
 * with a few XORs around it, and the processor overlaps the rest with it. Sixteen rows of
 * 1 KiB stay inside the first-level cache, while wider slices would crowd it for little gain.
 * Words are read four bytes at a time from addresses made 4-aligned by the head loop, and the
 * body has no branch per byte.
 */
extern "C" uint32_t mycrc32(uint32_t crc, const void *data, uint32_t leng) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    const uint32_t(*t)[256] = st.crc_table;
    uint32_t c = ~crc;

    while (leng > 0 && (reinterpret_cast<uintptr_t>(p) & 3) != 0) {
        c = byte_step(c, *p++);
        leng--;
    }
    while (leng >= 16) {
        uint32_t w0 = c ^ load_le32(p);
        uint32_t w1 = load_le32(p + 4);
        uint32_t w2 = load_le32(p + 8);
        uint32_t w3 = load_le32(p + 12);
        uint32_t ahead = t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^
                         t[8][w1 >> 24] ^ t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^
                         t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^ t[3][w3 & 0xFF] ^
                         t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24];
        c = ahead ^ t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^
            t[12][w0 >> 24];
        p += 16;
        leng -= 16;
    }
    while (leng > 0) {
        c = byte_step(c, *p++);
        leng--;
    }
    return ~c;
}

// The finished CRC of A, carried through leng2 zero bytes, is what A contributes to the CRC of
// A followed by B; the presets and final inversions of the two pieces cancel out, so adding
// crc2 completes it. leng2 is taken apart into powers of two, one table level per set bit.
extern "C" uint32_t mycrc32_combine(uint32_t crc1, uint32_t crc2, uint32_t leng2) {
    for (int i = 0; leng2 != 0; i++, leng2 >>= 1) {
        if (leng2 & 1) {
            const uint32_t(*lv)[256] = st.crc_combine_table[i];
            crc1 = lv[0][crc1 & 0xFF] ^ lv[1][(crc1 >> 8) & 0xFF] ^ lv[2][(crc1 >> 16) & 0xFF] ^
                   lv[3][crc1 >> 24];
        }
    }
    return crc1 ^ crc2;
}
