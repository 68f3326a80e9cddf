// SPDX-License-Identifier: Apache-2.0
// Chart pictures as files: read back with an independent PNG decoder, chunk by chunk, and the
// one-pixel picture of a failed request.
#include <gtest/gtest.h>
#include <setjmp.h>
#include <zlib.h>

#include <set>
#include <string>
#include <vector>

#include "charts_imaging_util.h"
#include "datafile_builder.h"
#include "zellog.h"

#ifdef ZEL_HAVE_LIBPNG
#include <png.h>
#endif

using namespace imgtest;

namespace {

// The picture of a request that cannot be drawn (type 6 is past the statistics).
std::vector<uint8_t> fallback() {
    std::vector<uint8_t> file(charts_make_png(60, 1600, 320));
    charts_get_png(file.data());
    return file;
}

using zeldata::be32_at;

std::vector<uint8_t> make_png(uint32_t number, uint32_t w, uint32_t h) {
    std::vector<uint8_t> file(charts_make_png(number, w, h));
    charts_get_png(file.data());
    return file;
}

struct Chunk {
    std::string type;
    uint32_t leng;
    size_t offset;  // of the length field
    bool crc_ok;
};

// The chunk sequence of a PNG file; stops at the first chunk that does not fit.
std::vector<Chunk> chunks(const std::vector<uint8_t> &file, size_t *end) {
    std::vector<Chunk> out;
    size_t p = 8;
    while (p + 12 <= file.size()) {
        const uint32_t leng = be32_at(file, p);
        if (p + 12 + leng > file.size()) break;
        const uint32_t crc = static_cast<uint32_t>(crc32(0, &file[p + 4], leng + 4));
        out.push_back({std::string(reinterpret_cast<const char *>(&file[p + 4]), 4), leng, p,
                       crc == be32_at(file, p + 8 + leng)});
        p += 12 + leng;
    }
    *end = p;
    return out;
}

#ifdef ZEL_HAVE_LIBPNG
struct Decoded {
    bool ok = false;
    uint32_t w = 0, h = 0;
    int depth = 0, colortype = 0;
    std::vector<png_color> palette;
    std::vector<uint8_t> trans;
    int background = -1;
    std::vector<std::vector<uint8_t>> rows;
};

struct MemReader {
    const uint8_t *p;
    size_t left;
};

void read_mem(png_structp png, png_bytep out, png_size_t n) {
    MemReader *r = static_cast<MemReader *>(png_get_io_ptr(png));
    if (n > r->left) png_error(png, "short file");
    memcpy(out, r->p, n);
    r->p += n;
    r->left -= n;
}

void decode_rows(png_structp png, png_infop info, Decoded *d) {
    png_read_info(png, info);
    d->w = png_get_image_width(png, info);
    d->h = png_get_image_height(png, info);
    d->depth = png_get_bit_depth(png, info);
    d->colortype = png_get_color_type(png, info);
    png_colorp pal = nullptr;
    int npal = 0;
    if (png_get_PLTE(png, info, &pal, &npal) != 0) d->palette.assign(pal, pal + npal);
    png_bytep trans = nullptr;
    int ntrans = 0;
    png_color_16p tcol = nullptr;
    if (png_get_tRNS(png, info, &trans, &ntrans, &tcol) != 0 && trans != nullptr) {
        d->trans.assign(trans, trans + ntrans);
    }
    png_color_16p bkgd = nullptr;
    if (png_get_bKGD(png, info, &bkgd) != 0) d->background = bkgd->index;
    d->rows.assign(d->h, std::vector<uint8_t>(png_get_rowbytes(png, info)));
    for (auto &row : d->rows) png_read_row(png, row.data(), nullptr);
    png_read_end(png, nullptr);
    d->ok = true;
}

Decoded decode(const std::vector<uint8_t> &file) {
    Decoded d;
    MemReader r{file.data(), file.size()};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_set_read_fn(png, &r, read_mem);
        decode_rows(png, info, &d);
    } else {
        d.ok = false;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return d;
}
#endif

class PngTest : public StoreTest {};

TEST_F(PngTest, PictureDecodesToTheBitmapWithPaletteAndTransparency) {
    for (uint32_t i = 100; i < 1550; i++) {  // the oldest 100 slots without data
        put(kA, 1, 1550, i, i % 7 == 0 ? CHARTS_NODATA : i);
        put(kB, 1, 1550, i, 1000 + 3 * i);
    }
    const uint32_t size = charts_make_png(1001, 1600, 320);
    ASSERT_EQ(g.compsize + 863, size);
    std::vector<uint8_t> file(size);
    charts_get_png(file.data());
    EXPECT_EQ(g.compsize, 0u);
    ASSERT_EQ(size, file.size());
    EXPECT_EQ(size - 863, be32_at(file, 839));  // IDAT length

#ifdef ZEL_HAVE_LIBPNG
    const Decoded d = decode(file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(1600u, d.w);
    EXPECT_EQ(320u, d.h);
    EXPECT_EQ(8, d.depth);
    EXPECT_EQ(PNG_COLOR_TYPE_PALETTE, d.colortype);
    ASSERT_EQ(256u, d.palette.size());
    const uint8_t fixed[7][3] = {{255, 255, 255}, {255, 255, 255}, {0, 0, 0},      {0, 0, 0},
                                 {95, 32, 0},     {192, 192, 192}, {255, 255, 222}};
    for (int e = 0; e < 7; e++) {
        EXPECT_EQ(fixed[e][0], d.palette[e].red) << e;
        EXPECT_EQ(fixed[e][1], d.palette[e].green) << e;
        EXPECT_EQ(fixed[e][2], d.palette[e].blue) << e;
    }
    EXPECT_EQ(19, d.palette[75].red);
    EXPECT_EQ(185, d.palette[75].green);
    EXPECT_EQ(211, d.palette[75].blue);
    EXPECT_EQ(std::vector<uint8_t>{0}, d.trans);  // entry 0 alone is transparent
    EXPECT_EQ(0, d.background);
    std::set<uint8_t> seen;
    for (uint32_t y = 0; y < d.h; y++) {
        ASSERT_EQ(0, memcmp(d.rows[y].data(), g.chart + y * kChartStride, d.w)) << "row " << y;
        seen.insert(d.rows[y].begin(), d.rows[y].end());
    }
    // Background, white, frame, grid, labels, hatching and both halves of the gradient.
    for (uint8_t c : {0, 1, 2, 3, 4, 5, 124, 125}) EXPECT_TRUE(seen.count(c)) << int{c};
    EXPECT_EQ(0u, seen.count(6));
    EXPECT_EQ(0u, seen.count(49));
    EXPECT_EQ(0u, seen.count(200));
#endif
}

#ifdef ZEL_HAVE_LIBPNG
// The colours charts_series_colours reports, as the drawn picture has them: in columns where one
// series alone has data, the data area's bottom row shows that series' bottom colour; where all
// have data, the last series stands on the time axis.
TEST_F(PngTest, SeriesColoursAreTheColoursOfTheDrawnBars) {
    const uint32_t height = 300;
    const uint32_t bottom_y = 6 + height - 1;
    for (uint32_t type : {uint32_t{kA}, uint32_t{kTwo}, uint32_t{kThree}}) {
        const uint32_t count = charts_seriescnt(type);
        SCOPED_TRACE("type " + std::to_string(type));
        ASSERT_EQ(type == kA ? 1u : type == kTwo ? 2u : 3u, count);
        // Columns 100 + 200 s .. 299 + 200 s: series s alone; 700 .. 899: every series (the
        // same values in every chart type).
        for (uint32_t i = 100; i < 900; i++) {
            for (uint32_t s = 0; s < count; s++) {
                put(s, 1, 1550, i, i >= 700 || (i - 100) / 200 == s ? 10 : 0);
            }
        }
        const Decoded d = decode(make_png(type * 10 + 1, 1600, 320));
        ASSERT_TRUE(d.ok);
        auto rgb = [&](uint32_t x, uint32_t y) {
            const png_color &c = d.palette[d.rows[y][x]];
            return uint32_t{c.red} << 16 | uint32_t{c.green} << 8 | c.blue;
        };
        for (uint32_t seg = 0; seg <= count; seg++) {
            const uint32_t s = seg < count ? seg : count - 1;  // the last segment: every series
            uint32_t bottom = 0, top = 0;
            ASSERT_EQ(0, charts_series_colours(count, s, &bottom, &top));
            const uint32_t first = seg < count ? 100 + 200 * seg : 700;
            uint32_t matched = 0;
            for (uint32_t i = first; i < first + 200; i++) {
                if (d.rows[bottom_y][43 + i] == 3) continue;  // a time-axis grid line
                EXPECT_EQ(bottom, rgb(43 + i, bottom_y)) << "column " << i;
                matched++;
            }
            EXPECT_GT(matched, 100u);
            EXPECT_NE(bottom, top);
        }
    }
    uint32_t bottom = 7, top = 7;
    EXPECT_EQ(-1, charts_series_colours(0, 0, &bottom, &top));
    EXPECT_EQ(-1, charts_series_colours(4, 0, &bottom, &top));
    EXPECT_EQ(-1, charts_series_colours(2, 2, &bottom, &top));
    EXPECT_TRUE(bottom == 7 && top == 7);
    EXPECT_EQ(0, charts_series_colours(3, 2, nullptr, nullptr));
}
#endif

TEST_F(PngTest, EveryChunkCarriesTheCrcOfItsTypeAndData) {
    put(kA, 0, 950, 900, 5);
    const std::vector<uint8_t> file = make_png(0, 0, 0);
    size_t end = 0;
    const std::vector<Chunk> cs = chunks(file, &end);
    EXPECT_EQ(file.size(), end);
    const char *types[] = {"IHDR", "PLTE", "tRNS", "bKGD", "IDAT", "IEND"};
    const uint32_t lengs[] = {13, 768, 1, 1, static_cast<uint32_t>(file.size() - 863), 0};
    ASSERT_EQ(6u, cs.size());
    for (size_t i = 0; i < cs.size(); i++) {
        EXPECT_EQ(types[i], cs[i].type);
        EXPECT_EQ(lengs[i], cs[i].leng) << types[i];
        EXPECT_TRUE(cs[i].crc_ok) << types[i];
    }
    EXPECT_EQ(847u, cs[4].offset + 8);  // the stream starts behind the template
    EXPECT_EQ(0xAE426082u, be32_at(file, file.size() - 4));
    // The template itself keeps its placeholders for the next picture.
    EXPECT_EQ(0, memcmp(g.png_header + 29, "CRC#", 4));
    EXPECT_EQ(0, memcmp(g.png_header + 809, "CRC#", 4));
}

TEST_F(PngTest, PictureSizeRules) {
    struct Size {
        uint32_t inw, inh, w, h;
    };
    const Size sizes[] = {
        {0, 0, 1000, 120},        {0, 500, 150, 500},     {1600, 0, 1600, 120},
        {1000, 139, 1000, 120},   {1000, 140, 1000, 140}, {1000, 330, 1000, 320},
        {1000, 5000, 1000, 1020}, {100, 200, 150, 200},   {5000, 200, 4146, 200},
        {4146, 1020, 4146, 1020},
    };
    for (const Size &s : sizes) {
        SCOPED_TRACE(std::to_string(s.inw) + " x " + std::to_string(s.inh));
        const std::vector<uint8_t> file = make_png(11, s.inw, s.inh);
        ASSERT_GT(file.size(), 68u);
        EXPECT_EQ(s.w, be32_at(file, 16));
        EXPECT_EQ(s.h, be32_at(file, 20));
        // The data area fills the picture: right frame line and bottom axis at their places.
        EXPECT_EQ(2, px(s.w - 7, 2));
        EXPECT_EQ(2, px(s.w - 5, s.h - 14));
        EXPECT_EQ(0, px(s.w - 1, s.h - 1));
#ifdef ZEL_HAVE_LIBPNG
        const Decoded d = decode(file);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(s.w, d.w);
        EXPECT_EQ(s.h, d.h);
#endif
    }
}

TEST_F(PngTest, ChartNumbersInBothForms) {
    EXPECT_GT(charts_make_png(0x41414141, 0, 0), 68u);  // "AAAA": statistic a, range 0
    EXPECT_GT(charts_make_png(0x41414161, 0, 0), 68u);  // "AAAa": range 1
    EXPECT_GT(charts_make_png(1023, 0, 0), 68u);        // extended chart 2, range 3
}

TEST_F(PngTest, InvalidRequestsGiveTheOnePixelPicture) {
    const uint32_t numbers[] = {
        4,           // range 4
        9,           // range 9
        60,          // type 6: past the statistics
        991,         // type 99
        1030,        // type 103: past the extended charts
        0x5A5A5A5A,  // "ZZZZ": no such statistic
        0x61414141,  // "aAAA": range 8
    };
    // Each is the same picture, whatever size was asked for.
    const std::vector<uint8_t> file = fallback();
    for (uint32_t number : numbers) {
        ASSERT_EQ(68u, charts_make_png(number, 1600 + number % 7, 320)) << number;
        std::vector<uint8_t> again(68);
        charts_get_png(again.data());
        EXPECT_EQ(file, again) << number;
    }
    // It is a valid picture of one transparent pixel.
    size_t end = 0;
    for (const Chunk &c : chunks(file, &end)) EXPECT_TRUE(c.crc_ok) << c.type;
    EXPECT_EQ(68u, end);
#ifdef ZEL_HAVE_LIBPNG
    const Decoded d = decode(file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(1u, d.w);
    EXPECT_EQ(1u, d.h);
    EXPECT_EQ(PNG_COLOR_TYPE_GRAY_ALPHA, d.colortype);
    EXPECT_EQ((std::vector<uint8_t>{0, 0}), d.rows[0]);
#endif
}

// The scanlines' check equals zlib's Adler-32 for every length around the block and reduction
// sizes, for bytes that maximise the sums and for mixed bytes.
TEST(PngAdler, EqualsZlibAdler32) {
    std::vector<uint8_t> data(1 << 20);
    uint32_t x = 12345;
    for (auto &b : data) b = uint8_t((x = x * 1103515245u + 12345u) >> 23);
    std::vector<uint8_t> full(data.size(), 0xFF);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 100; n++) lengths.push_back(n);
    for (size_t n = 5500; n <= 5600; n++) lengths.push_back(n);
    for (size_t n : {11071ul, 11072ul, 11073ul, 514240ul, data.size()}) lengths.push_back(n);
    for (const auto *buf : {&data, &full}) {
        for (size_t n : lengths) {
            for (size_t off : {0ul, 3ul}) {
                if (off + n > buf->size()) continue;
                const uint8_t *p = buf->data() + off;
                ASSERT_EQ(uint32_t(adler32(adler32(0, Z_NULL, 0), p, uInt(n))),
                          charts::charts_adler32(p, n))
                    << "length " << n << " offset " << off;
            }
        }
    }
}

TEST_F(PngTest, SecondDeliveryWithoutNewPictureIsTheFallback) {
    put(kA, 0, 950, 949, 5);
    const uint32_t size = charts_make_png(0, 0, 0);
    ASSERT_GT(size, 68u);
    std::vector<uint8_t> first(size), second(size, 0xEE);
    charts_get_png(first.data());
    charts_get_png(second.data());
    EXPECT_EQ(0, memcmp(first.data(), "\x89PNG", 4));
    EXPECT_EQ(0, memcmp(first.data() + 12, "IHDR", 4));
    EXPECT_EQ(1000u, be32_at(first, 16));
    const std::vector<uint8_t> one_pixel = fallback();
    EXPECT_EQ(0, memcmp(second.data(), one_pixel.data(), 68));
    EXPECT_EQ(0xEE, second[68]);  // nothing written past the fallback
}

std::vector<std::string> *g_logged = nullptr;
void keep_log(const char *msg) {
    if (g_logged != nullptr) g_logged->push_back(msg);
}

TEST_F(PngTest, UnexpectedCrcFieldIsLoggedAndLeftAlone) {
    // Template, an empty stream and the tail, with the tRNS CRC field already taken.
    std::vector<uint8_t> file(g.png_header, g.png_header + 847);
    file.insert(file.end(), kPngTailer, kPngTailer + 16);
    memcpy(&file[822], "\x01\x02\x03\x04", 4);
    std::vector<std::string> logged;
    g_logged = &logged;
    zel_log_set_sink_function(keep_log);
    charts_fill_crc(file.data(), static_cast<uint32_t>(file.size()));
    zel_log_set_sink_function(nullptr);
    g_logged = nullptr;

    EXPECT_EQ(0, memcmp(&file[822], "\x01\x02\x03\x04", 4));
    size_t end = 0;
    for (const Chunk &c : chunks(file, &end)) {
        EXPECT_EQ(c.type != "tRNS", c.crc_ok) << c.type;
    }
    ASSERT_EQ(1u, logged.size());
    EXPECT_NE(std::string::npos, logged[0].find("charts: unexpected data in generated png stream"));
}

}  // namespace
