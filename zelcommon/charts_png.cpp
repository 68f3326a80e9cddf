// SPDX-License-Identifier: Apache-2.0
// The chart PNG encoder: picture size, scanlines, one deflate per picture, and the file built
// from a fixed header template (with the palette), the compressed stream and a fixed tail. CRC
// fields hold the placeholder "CRC#" until the assembled copy gets its real CRCs.
#include <string.h>

#include <algorithm>

#include "charts_priv.h"
#include "cpu.h"
#include "crc.h"
#include "datapack.h"

namespace charts {

namespace {

constexpr uint8_t kCrcPlaceholder[4] = {'C', 'R', 'C', '#'};
constexpr uint8_t kPngSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint32_t kWidthOffset = 16;
constexpr uint32_t kHeightOffset = 20;
constexpr uint32_t kIdatLengthOffset = 839;
constexpr uint32_t kPngFrame = kPngHeaderSize + kPngTailSize;  // 863 bytes around the stream

// IHDR body: width and height (set per picture), bit depth 8, colour type 3 (indexed),
// compression, filter and interlace methods 0.
constexpr uint8_t kIhdrBody[13] = {0, 0, 0, 0, 0, 0, 0, 0, 8, 3, 0, 0, 0};

// Palette entries 0..6; the data colours (50..199) are computed at start-up, the rest is black.
constexpr uint8_t kFixedPalette[7][3] = {
    {0xFF, 0xFF, 0xFF},  // 0 transparent background
    {0xFF, 0xFF, 0xFF},  // 1 data-area white
    {0x00, 0x00, 0x00},  // 2 axes and frame
    {0x00, 0x00, 0x00},  // 3 grid lines
    {0x5F, 0x20, 0x00},  // 4 labels
    {0xC0, 0xC0, 0xC0},  // 5 hatching of slots without data
    {0xFF, 0xFF, 0xDE},  // 6
};

constexpr uint8_t kTrnsBody[1] = {0};  // entry 0 fully transparent, all others opaque
constexpr uint8_t kBkgdBody[1] = {0};  // background is entry 0

// Appends one chunk: length, type, body and a CRC placeholder.
uint8_t *put_chunk(uint8_t *p, const char *type, const uint8_t *body, uint32_t leng) {
    put32bit(&p, leng);
    memcpy(p, type, 4);
    p += 4;
    if (leng > 0) memcpy(p, body, leng);
    p += leng;
    memcpy(p, kCrcPlaceholder, 4);
    return p + 4;
}

}  // namespace

// Picture tail: IDAT CRC, then the empty IEND chunk.
const uint8_t kPngTailer[kPngTailSize] = {
    'C', 'R', 'C', '#',                      // IDAT CRC
    0,   0,   0,   0,   'I', 'E', 'N', 'D',  // IEND
    'C', 'R', 'C', '#',                      // IEND CRC
};

// One fully transparent pixel (grey with alpha), with its CRCs: the picture of a failed request.
const uint8_t kPng1x1[kPng1x1Size] = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x04, 0x00, 0x00,
    0x00, 0xB5, 0x1C, 0x0C, 0x02, 0x00, 0x00, 0x00, 0x0B, 0x49, 0x44, 0x41, 0x54, 0x08,
    0xD7, 0x63, 0x60, 0x60, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x20, 0xD5, 0x94, 0xC7,
    0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82,
};

// Header template: signature, IHDR, PLTE, tRNS, bKGD, and the IDAT length and type.
void png_reset_template() {
    uint8_t plte[768] = {};
    memcpy(plte, kFixedPalette, sizeof(kFixedPalette));

    uint8_t *p = g.png_header;
    memcpy(p, kPngSignature, sizeof(kPngSignature));
    p += sizeof(kPngSignature);
    p = put_chunk(p, "IHDR", kIhdrBody, sizeof(kIhdrBody));
    p = put_chunk(p, "PLTE", plte, sizeof(plte));
    p = put_chunk(p, "tRNS", kTrnsBody, sizeof(kTrnsBody));
    p = put_chunk(p, "bKGD", kBkgdBody, sizeof(kBkgdBody));
    put32bit(&p, 0);  // IDAT length: the compressed size of each copy
    memcpy(p, "IDAT", 4);
}

// Scanlines: filter type 0 (none), then the row's palette indexes.
void charts_chart_to_rawchart(uint32_t chartwidth, uint32_t chartheight) {
    const uint8_t *src = g.chart;
    uint8_t *dst = g.rawchart;
    for (uint32_t r = 0; r < chartheight; r++) {
        *dst++ = 0;
        memcpy(dst, src, chartwidth);
        dst += chartwidth;
        src += kChartStride;
    }
}

void charts_fill_crc(uint8_t *buff, uint32_t leng) {
    uint64_t p = 8;  // behind the signature
    while (p + 4 <= leng) {
        const uint8_t *lp = buff + p;
        const uint64_t chunkleng = get32bit(&lp);
        if (p + chunkleng + 12 > leng) {  // not a chunk that fits: look 4 bytes further
            p += 4;
            continue;
        }
        uint8_t *crcp = buff + p + 8 + chunkleng;
        const uint32_t crc = mycrc32(0, buff + p + 4, static_cast<uint32_t>(chunkleng + 4));
        if (memcmp(crcp, kCrcPlaceholder, 4) == 0) {
            put32bit(&crcp, crc);
            p += 12 + chunkleng;
        } else {
            zel_log(0, ZEL_LOG_WARNING, "charts: unexpected data in generated png stream");
            p += 8 + chunkleng;
        }
    }
}

}  // namespace charts

using namespace charts;

namespace charts {
namespace {

// Picture size: the data area plus a 50-pixel and a 20-pixel margin; the data-area height is
// a whole number of 20-pixel value grid steps.
void picture_size(uint32_t chartwidth, uint32_t chartheight, uint32_t &w, uint32_t &h) {
    if (chartwidth == 0 && chartheight == 0) {
        w = 1000;
        h = 120;
    } else {
        w = std::clamp(chartwidth, 150u, kChartStride);
        h = std::clamp(chartheight, 120u, kChartRows);
        h -= (h - 20) % 20;
    }
}

// Whether a chart number names a chart; the tool sets its deflate stream up with its first.
bool drawable(uint32_t number, uint32_t &type, uint32_t &range) {
    charts_statid_converter(number, &type, &range);
    const bool known = type < g.statdefscount ||
                       (type >= kExtendedTypeBase && type - kExtendedTypeBase < g.estatdefscount);
    if (range < kRanges && known && !g.zstr_ready && g.mode == CHARTS_MODE_TOOL) charts_zinit();
    return range < kRanges && known && g.zstr_ready;
}

}  // namespace

#if ZELCOMMON_X86_VECTORS
// Adler-32 of the scanlines. 32 bytes at a time where the processor has 256-bit integer vectors:
// a block of n bytes adds its byte sum to a, and n times the a it found plus each byte weighted
// by n minus its position to b; the sums are reduced modulo 65521 once per 5,536 bytes, before
// a 32-bit lane can overflow.
namespace {

constexpr uint32_t kAdlerBase = 65521;
constexpr size_t kAdlerChunk = 5536;  // whole 32-byte blocks within zlib's 5,552-byte bound

__attribute__((target("avx2"))) uint32_t adler32_avx2(uint32_t adler, const uint8_t *p, size_t n) {
    uint64_t a = adler & 0xFFFF, b = adler >> 16;
    const __m256i weights =
        _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14,
                         13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i zero = _mm256_setzero_si256();
    while (n >= 32) {
        const size_t blocks = std::min(n, kAdlerChunk) / 32;
        __m256i vs1 = zero, vps = zero, vs2 = zero;
        for (size_t k = 0; k < blocks; k++, p += 32) {
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
            vps = _mm256_add_epi32(vps, vs1);
            vs1 = _mm256_add_epi32(vs1, _mm256_sad_epu8(x, zero));
            vs2 = _mm256_add_epi32(vs2, _mm256_madd_epi16(_mm256_maddubs_epi16(x, weights), ones));
        }
        alignas(32) uint32_t l1[8], lp[8], l2[8];
        _mm256_store_si256(reinterpret_cast<__m256i *>(l1), vs1);
        _mm256_store_si256(reinterpret_cast<__m256i *>(lp), vps);
        _mm256_store_si256(reinterpret_cast<__m256i *>(l2), vs2);
        uint64_t s1 = 0, ps = 0, s2 = 0;
        for (int i = 0; i < 8; i++) s1 += l1[i], ps += lp[i], s2 += l2[i];
        b = (b + 32 * blocks * a + 32 * ps + s2) % kAdlerBase;
        a = (a + s1) % kAdlerBase;
        n -= blocks * 32;
    }
    for (; n > 0; n--, p++) {
        a += *p;
        b += a;
    }
    return uint32_t((b % kAdlerBase) << 16 | (a % kAdlerBase));
}

}  // namespace
#endif

uint32_t charts_adler32(const uint8_t *data, size_t leng) {
#if ZELCOMMON_X86_VECTORS
    if (zelcommon::has_avx2()) return adler32_avx2(1, data, leng);
#endif
    uLong adler = adler32(0, Z_NULL, 0);
    for (size_t done = 0; done < leng;) {
        const uInt part = uInt(std::min<size_t>(leng - done, 1u << 30));
        adler = adler32(adler, data + done, part);
        done += part;
    }
    return uint32_t(adler);
}

// The stream carries no header or check of its own (the tool's streams are raw deflate, which
// makes the same compressed data as the zlib format): the zlib header of level 1 (78 01) goes
// in front, the Adler-32 of the scanlines, big-endian, behind.
uint32_t charts_compress(z_stream &z, uint8_t *raw, uint32_t rawsize, uint8_t *comp,
                         uint32_t compcap) {
    if (compcap < kZlibFrame || deflateReset(&z) != Z_OK) return 0;
    comp[0] = 0x78;
    comp[1] = 0x01;
    z.next_in = raw;
    z.avail_in = rawsize;
    z.total_in = 0;
    z.next_out = comp + 2;
    z.avail_out = compcap - kZlibFrame;
    z.total_out = 0;
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) return 0;
    uint8_t *p = comp + 2 + z.total_out;
    put32bit(&p, charts_adler32(raw, rawsize));
    return static_cast<uint32_t>(z.total_out) + kZlibFrame;
}

namespace {

// The PNG file of a compressed picture of w x h pixels: header template, stream, tail, CRCs.
void assemble_png(uint8_t *buff, uint32_t w, uint32_t h, const uint8_t *comp, uint32_t compsize) {
    memcpy(buff, g.png_header, kPngHeaderSize);
    uint8_t *p = buff + kWidthOffset;
    put32bit(&p, w);
    p = buff + kHeightOffset;
    put32bit(&p, h);
    p = buff + kIdatLengthOffset;
    put32bit(&p, compsize);
    memcpy(buff + kPngHeaderSize, comp, compsize);
    memcpy(buff + kPngHeaderSize + compsize, kPngTailer, kPngTailSize);
    charts_fill_crc(buff, compsize + kPngFrame);
}

}  // namespace
}  // namespace charts

extern "C" uint32_t charts_make_png(uint32_t number, uint32_t chartwidth, uint32_t chartheight) {
    uint32_t type, range;
    if (!drawable(number, type, range)) {
        g.compsize = 0;
        return kPng1x1Size;
    }
    uint32_t w, h;
    picture_size(chartwidth, chartheight, w, h);
    charts_makechart(type, range, w - 50, h - 20);
    charts_chart_to_rawchart(w, h);
    uint8_t *p = g.png_header + kWidthOffset;
    put32bit(&p, w);
    p = g.png_header + kHeightOffset;
    put32bit(&p, h);
    g.compsize = charts_compress(g.zstr, g.rawchart, (w + 1) * h, g.compbuff, g.compbuffsize);
    if (g.compsize == 0) return kPng1x1Size;
    return g.compsize + kPngFrame;
}

extern "C" void charts_get_png(uint8_t *buff) {
    if (g.compsize == 0) {
        memcpy(buff, kPng1x1, kPng1x1Size);
    } else {
        const uint8_t *p = g.png_header + kWidthOffset;
        const uint32_t w = get32bit(&p);
        p = g.png_header + kHeightOffset;
        assemble_png(buff, w, get32bit(&p), g.compbuff, g.compsize);
    }
    g.compsize = 0;
}
