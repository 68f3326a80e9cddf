// SPDX-License-Identifier: Apache-2.0
// statsweb's page and table endpoints: the HTML page and /view, and /table as text or JSON. The
// JSON table and /view are made from columns of values fetched from the store once per load
// (under the store lock) and formatted outside it, only for the rows asked for.
#include "views.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <mutex>

#include "charts.h"
#include "encoding.h"
#include "events.h"
#include "fields.h"
#include "page.h"
#include "settings.h"
#include "statsdump.h"
#include "store.h"
#include "store_lock.h"
#include "text.h"

namespace statsweb {

namespace {

constexpr uint32_t kRanges = CHARTS_RANGES;

int64_t offset_at(int64_t utc) {
    const time_t t = time_t(utc);
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr) return 0;
    return tm.tm_gmtoff;
}

// Raw deflate (zlib's default level) of pieces of text, each compressed on its own (or after a
// dictionary: the bytes that precede it where it is spliced in) and ending on a byte boundary
// (a sync flush), so that pieces made apart join into one stream.
class Deflater {
  public:
    Deflater() { ok_ = deflateInit2(&z_, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK; }
    ~Deflater() {
        if (ok_) deflateEnd(&z_);
    }
    Deflater(const Deflater &) = delete;
    Deflater &operator=(const Deflater &) = delete;
    // Appends the piece to out; false when zlib fails.
    bool piece(std::string &out, std::string_view text, std::string_view dict = {}) {
        if (!ok_ || deflateReset(&z_) != Z_OK) return false;
        if (!dict.empty() && deflateSetDictionary(&z_, reinterpret_cast<const Bytef *>(dict.data()),
                                                  uInt(dict.size())) != Z_OK) {
            return false;
        }
        const size_t at = out.size();
        out.resize(at + deflateBound(&z_, uLong(text.size())) + 16);
        z_.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
        z_.avail_in = uInt(text.size());
        z_.next_out = reinterpret_cast<Bytef *>(out.data() + at);
        z_.avail_out = uInt(out.size() - at);
        const int rc = deflate(&z_, Z_SYNC_FLUSH);
        const bool done = rc == Z_OK && z_.avail_in == 0 && z_.avail_out > 0;
        out.resize(done ? out.size() - z_.avail_out : at);
        return done;
    }

  private:
    z_stream z_ = {};
    bool ok_ = false;
};

struct CellText;
// A whole block of a column where an answer shows it (offset and length in the answer's text),
// and whether the whole block before it comes right before it.
struct GzPiece {
    size_t at, len;
    const CellText *column;
    uint32_t block;
    bool chained;
};

// The raw deflate forms of a column's whole blocks (a column's last block without the comma
// that would follow it, as answers end it), for the gzip form of the JSON table: alone, or
// chained (the block before as the dictionary). Made when an answer is compressed, once per
// load, under their own lock (the gzip worker makes them, without the store lock).
struct BlockForms {
    std::mutex mu;
    std::vector<std::string> alone, chained;  // by block; empty until made
};

// A column as the JSON table writes it, in blocks of kCellBlock rows: in each, every cell
// followed by a comma, and where each starts (one more entry than cells: the end). A block is
// formatted when an answer first shows one of its rows, and kept for the load, so that an
// answer of any window is copied out of it and only the rows shown are ever formatted. Used
// under the store lock only (it makes its blocks as answers need them).
constexpr uint32_t kCellBlock = 256;
struct CellText {
    struct Block {
        bool made = false;
        std::string text;
        std::vector<uint32_t> at;
    };
    uint32_t rows = 0;
    std::function<void(std::string &, uint32_t)> put;  // writes the cell of a row
    mutable std::vector<Block> blocks;
    std::shared_ptr<BlockForms> forms = std::make_shared<BlockForms>();

    const Block &block(uint32_t b) const {
        Block &k = blocks[b];
        if (!k.made) {
            const uint32_t lo = b * kCellBlock, hi = std::min(rows, lo + kCellBlock);
            k.text.reserve(size_t(hi - lo) * 12);
            k.at.reserve(hi - lo + 1);
            for (uint32_t r = lo; r < hi; r++) {
                k.at.push_back(uint32_t(k.text.size()));
                put(k.text, r);
                k.text += ',';
            }
            k.at.push_back(uint32_t(k.text.size()));
            k.made = true;
        }
        return k;
    }
    // Calls f(block, whole, text) for the pieces of cells first..end-1, each followed by its
    // comma.
    template <typename F>
    void pieces(uint32_t first, uint32_t end, F f) const {
        for (uint32_t b = first / kCellBlock; b * kCellBlock < end; b++) {
            const Block &k = block(b);
            const uint32_t lo = std::max(first, b * kCellBlock) - b * kCellBlock;
            const uint32_t hi = std::min(end, (b + 1) * kCellBlock) - b * kCellBlock;
            f(b, lo == 0 && hi + 1 == k.at.size(),
              std::string_view(k.text).substr(k.at[lo], k.at[hi] - k.at[lo]));
        }
    }
    // The bytes of cells first..end-1 with the commas between them.
    size_t size(uint32_t first, uint32_t end) const {
        size_t n = 0;
        pieces(first, end, [&n](uint32_t, bool, std::string_view p) { n += p.size(); });
        return n > 0 ? n - 1 : 0;
    }
    // Appends cells first..end-1 with the commas between them; the whole blocks among them go
    // to the recipe of the answer's gzip form.
    void append(std::string &out, uint32_t first, uint32_t end,
                std::vector<GzPiece> &recipe) const {
        if (end <= first) return;
        bool whole_before = false;
        pieces(first, end, [&](uint32_t b, bool whole, std::string_view p) {
            if (whole) recipe.push_back({out.size(), p.size(), this, b, whole_before});
            whole_before = whole;
            out += p;
        });
        out.pop_back();  // the comma after the last cell
        GzPiece *last = recipe.empty() ? nullptr : &recipe.back();
        if (last != nullptr && last->column == this && last->at + last->len > out.size()) {
            // The last piece lost its comma: the column's last block has a form without it.
            if (last->block + 1 == blocks.size()) {
                last->len--;
            } else {
                recipe.pop_back();
            }
        }
    }
    // The form of a whole block of this column into f; false when zlib fails.
    bool form(uint32_t b, bool chained, Deflater &d, std::string_view &f) const {
        std::lock_guard<std::mutex> g(forms->mu);
        std::vector<std::string> &all = chained ? forms->chained : forms->alone;
        if (all.empty()) all.resize(blocks.size());
        std::string &made = all[b];
        if (made.empty()) {
            std::string_view text = blocks[b].text;
            if (b + 1 == blocks.size()) text.remove_suffix(1);
            if (!d.piece(made, text, chained ? std::string_view(blocks[b - 1].text) : "")) {
                made.clear();
                return false;
            }
        }
        f = made;
        return true;
    }
};
// The JSON cells of one chart in one range: its total, then each stacked series.
struct JsonCells {
    std::vector<CellText> columns;
};
struct JsonTimes {
    CellText utc, local;
};

// The columns of one load, kept under the store lock until the next load.
struct LoadColumns {
    uint64_t generation = 0;
    std::shared_ptr<const SlotTimes> times[kRanges];
    std::map<uint32_t, std::shared_ptr<const Column>> columns;  // by chart number
    std::map<uint32_t, std::shared_ptr<const Column>> totals;   // the total alone, by number
    std::shared_ptr<const JsonTimes> json_times[kRanges];
    std::map<uint32_t, std::shared_ptr<const JsonCells>> json_cells;  // by chart number
};
LoadColumns cols;

void sync_columns(uint64_t generation) {
    if (cols.generation != generation) {
        cols = LoadColumns();
        cols.generation = generation;
    }
}

const char *name_of(int32_t type) {
    const char *name = statsdump_field_name(type);
    return name != nullptr ? name : "";
}

}  // namespace

int64_t slot_utc(int64_t local) {
    const int64_t t = local_to_utc(local);
    if (t + offset_at(t) == local) return t;
    // A local time the clock skipped: the slot starts when the clock moved past it. The local
    // time read by the clock rises with the instant, so the change is found by halving.
    int64_t lo = local - offset_at(local + 86400);  // shows an earlier local time
    int64_t hi = local - offset_at(local - 86400);  // shows a later one
    if (lo >= hi || lo + offset_at(lo) >= local) return t;
    while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        (mid + offset_at(mid) >= local ? hi : lo) = mid;
    }
    return hi;
}

void json_fixed6(std::string &out, double v) {
    char buf[400];
    char *end;
    // v * 10^6 as an integer when rounding it cannot differ from rounding the exact product:
    // m is within half a unit in its last place (at most m * 2^-52) of that product.
    const double m = v * 1e6;
    const double r = nearbyint(m);
    if (m >= 0 && m < 9e15 && fabs(m - r) < 0.5 - m * 0x1p-50 - 0x1p-1000) {
        uint64_t n = uint64_t(r);
        const uint64_t whole = n / 1000000;
        uint32_t frac = uint32_t(n % 1000000);
        end = std::to_chars(buf, buf + 32, whole).ptr;
        if (frac != 0) {
            int digits = 6;
            while (frac % 10 == 0) frac /= 10, digits--;
            *end++ = '.';
            for (int k = digits - 1; k >= 0; k--) {
                end[k] = char('0' + frac % 10);
                frac /= 10;
            }
            end += digits;
        }
        out.append(buf, size_t(end - buf));
        return;
    }
    // A whole number (every double from 2^53 on is one) prints its digits and no fraction.
    if (v >= 0 && v < 0x1p64 && v == trunc(v)) {
        end = std::to_chars(buf, buf + 32, uint64_t(v)).ptr;
        out.append(buf, size_t(end - buf));
        return;
    }
    end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6).ptr;
    std::string_view s(buf, size_t(end - buf));
    if (s.find('.') != s.npos) {
        while (s.back() == '0') s.remove_suffix(1);
        if (s.back() == '.') s.remove_suffix(1);
    }
    out += s;
}

std::vector<int64_t> slot_utcs(const std::vector<uint32_t> &local) {
    const size_t n = local.size();
    std::vector<int64_t> utc(n);
    // The slot before, when its start shows its own local time: while the offset at the
    // start a later slot would have is the same, and that slot lies at most a day later,
    // nothing changed between them (offsets change at most once within a day, as local_to_utc
    // assumes), so that start is the earliest instant that shows its local time, which
    // slot_utc finds the long way. The slots of a day after an exact one are taken at once
    // when the last of them keeps the offset; else one by one.
    bool exact = false;
    int64_t prev_local = 0, prev_utc = 0, prev_offset = 0;
    auto put = [&](size_t r, int64_t t) {
        prev_local = local[r];
        prev_utc = t;
        // Never backwards, whatever the zone's rules say.
        utc[r] = r > 0 && t < utc[r - 1] ? utc[r - 1] : t;
    };
    for (size_t r = 0; r < n;) {
        if (exact) {
            size_t last = r;
            while (last + 1 < n && int64_t(local[last + 1]) - prev_local <= 86400) last++;
            if (last > r && int64_t(local[last]) > prev_local &&
                offset_at(prev_utc + (int64_t(local[last]) - prev_local)) == prev_offset) {
                const int64_t base_local = prev_local, base_utc = prev_utc;
                for (; r <= last; r++) put(r, base_utc + (int64_t(local[r]) - base_local));
                continue;
            }
        }
        const int64_t l = local[r];
        int64_t t = 0;
        bool found = false;
        if (exact && l > prev_local && l - prev_local <= 86400) {
            t = prev_utc + (l - prev_local);
            found = offset_at(t) == prev_offset;
        }
        if (!found) {
            t = slot_utc(l);
            prev_offset = offset_at(t);
        }
        exact = t + prev_offset == l;
        put(r, t);
        r++;
    }
    return utc;
}

std::shared_ptr<const SlotTimes> slot_times(uint64_t generation, uint32_t range) {
    sync_columns(generation);
    if (range >= kRanges) return nullptr;
    if (cols.times[range]) return cols.times[range];
    auto t = std::make_shared<SlotTimes>();
    const uint32_t rows = charts_getmaxleng();
    std::vector<double> scratch(rows, -1.0);
    uint32_t newest = 0, rsec = charts_range_seconds(range);
    charts_getdata(scratch.data(), &newest, &rsec, range);  // chart 0 of the range
    t->step = rsec;
    t->local.resize(rows);
    const int64_t first = int64_t(newest) - int64_t(rsec) * (int64_t(rows) - 1);
    for (uint32_t r = 0; r < rows; r++) t->local[r] = uint32_t(first + int64_t(rsec) * r);
    t->utc = slot_utcs(t->local);
    cols.times[range] = t;
    return t;
}

std::shared_ptr<const Column> total_of(uint64_t generation, int32_t type, uint32_t range) {
    sync_columns(generation);
    const uint32_t number = uint32_t(type) * 10 + range;
    if (auto it = cols.columns.find(number); it != cols.columns.end()) return it->second;
    if (auto it = cols.totals.find(number); it != cols.totals.end()) return it->second;
    auto c = std::make_shared<Column>();
    c->total.assign(charts_getmaxleng(), -1.0);
    uint32_t timestamp = 0, rsec = 0;
    charts_getdata(c->total.data(), &timestamp, &rsec, number);
    cols.totals.emplace(number, c);
    return c;
}

std::shared_ptr<const Column> column_of(uint64_t generation, int32_t type, uint32_t range) {
    sync_columns(generation);
    const uint32_t number = uint32_t(type) * 10 + range;
    auto it = cols.columns.find(number);
    if (it != cols.columns.end()) return it->second;
    auto c = std::make_shared<Column>();
    const uint32_t rows = charts_getmaxleng();
    c->total = total_of(generation, type, range)->total;
    if (type >= 100) {
        const double mul = charts_data_multiplier(uint32_t(type), range);
        for (uint32_t cno = 1; cno <= 3; cno++) {
            uint64_t *tab = nullptr;
            if (charts_filltab(&tab, range, uint32_t(type), cno, rows)) {
                std::vector<double> part(rows);
                for (uint32_t r = 0; r < rows; r++) {
                    part[r] = tab[r] == CHARTS_NODATA ? -1.0 : double(tab[r]) * mul;
                }
                c->parts.push_back(std::move(part));
            }
            free(tab);
        }
    }
    cols.columns.emplace(number, c);
    return c;
}

namespace {

// The cells of v, a vector of what owner holds (kept alive by the column), written by put.
template <typename Owner, typename T, typename Put>
CellText cell_text(std::shared_ptr<const Owner> owner, const std::vector<T> &v, Put put) {
    CellText c;
    c.rows = uint32_t(v.size());
    c.blocks.resize((c.rows + kCellBlock - 1) / kCellBlock);
    c.put = [owner = std::move(owner), &v, put](std::string &out, uint32_t row) {
        put(out, v[row]);
    };
    return c;
}

void put_value(std::string &out, double v) {
    if (v < 0) {
        out += "null";
    } else {
        json_fixed6(out, v);
    }
}

// Under the store lock: the JSON cells of the times and of a chart, made once per load.
std::shared_ptr<const JsonTimes> json_times(uint64_t generation, uint32_t range) {
    const auto t = slot_times(generation, range);
    if (cols.json_times[range]) return cols.json_times[range];
    auto j = std::make_shared<JsonTimes>();
    auto put = [](std::string &out, auto x) {
        char buf[24];
        out.append(buf, size_t(std::to_chars(buf, buf + sizeof buf, x).ptr - buf));
    };
    j->utc = cell_text(t, t->utc, put);
    j->local = cell_text(t, t->local, put);
    cols.json_times[range] = j;
    return j;
}

std::shared_ptr<const JsonCells> json_cells(uint64_t generation, int32_t type, uint32_t range) {
    const auto c = column_of(generation, type, range);
    const uint32_t number = uint32_t(type) * 10 + range;
    auto it = cols.json_cells.find(number);
    if (it != cols.json_cells.end()) return it->second;
    auto j = std::make_shared<JsonCells>();
    j->columns.push_back(cell_text(c, c->total, put_value));
    for (const auto &part : c->parts) j->columns.push_back(cell_text(c, part, put_value));
    cols.json_cells.emplace(number, j);
    return j;
}

void json_list(std::string &out, const CellText &c, uint32_t first, uint32_t end,
               std::vector<GzPiece> &recipe) {
    out += '[';
    c.append(out, first, end, recipe);
    out += ']';
}

// The gzip form of a JSON table's text from its recipe: the forms of its whole blocks spliced
// between the rest, compressed as it comes. Empty when zlib fails.
std::string table_gzip(const std::string &plain, const std::vector<GzPiece> &recipe) {
    Deflater d;
    std::string gz("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10);  // no name, no time, Unix
    gz.reserve(plain.size() / 2);
    size_t pos = 0;
    auto text = [&](size_t end) {
        if (end > pos && !d.piece(gz, std::string_view(plain).substr(pos, end - pos))) {
            return false;
        }
        pos = std::max(pos, end);
        return true;
    };
    for (const GzPiece &p : recipe) {
        std::string_view f;
        if (!text(p.at) || !p.column->form(p.block, p.chained, d, f)) return {};
        gz += f;
        pos = p.at + p.len;
    }
    if (!text(plain.size())) return {};
    gz += std::string_view("\x03\0", 2);  // the last block: empty
    const uLong crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(plain.data()),
                            uInt(plain.size()));
    for (int i = 0; i < 4; i++) gz += char((crc >> (8 * i)) & 0xff);
    for (int i = 0; i < 4; i++) gz += char((uint32_t(plain.size()) >> (8 * i)) & 0xff);
    return gz;
}

// What a table request asks for.
struct TableQuery {
    std::vector<int32_t> fields;  // ending with -1
    uint32_t range = 0;
    char sep = '\t';
    uint8_t flags = 0;  // the table writer's STATSDUMP_TABLE_* flags
    bool json = false;
    uint32_t rows = 0;   // JSON: the newest rows only (0: all)
    bool since = false;  // JSON: only the slots that start after since_utc
    uint32_t since_utc = 0;
};

bool parse_table_query(const Request &req, TableQuery &q, Response &err) {
    if (!parse_fields(req, q.fields, err) || !get_range(req, q.range, err)) return false;
    if (const std::string *v = arg(req, "s")) {
        if (v->size() != 1) return (err = bad("s", "must be one character")), false;
        q.sep = (*v)[0];
    }
    bool date, si, iec;
    if (!get_switch(req, "d", date, err) || !get_switch(req, "H", si, err) ||
        !get_switch(req, "h", iec, err)) {
        return false;
    }
    q.flags = uint8_t((date ? STATSDUMP_TABLE_DATE : 0) | (si ? STATSDUMP_TABLE_SI : 0) |
                      (iec ? STATSDUMP_TABLE_IEC : 0));
    if (const std::string *v = arg(req, "format")) {
        if (*v != "json") return (err = bad("format", "must be json")), false;
        q.json = true;
    }
    // JSON only: the newest n rows (1..4096), for a chart that shows a window of them; and the
    // slots that start after a UTC second, for a refresh.
    if (const std::string *v = arg(req, "n")) {
        if (!q.json) return (err = bad("n", "only with format=json")), false;
        if (!parse_u32(*v, q.rows) || q.rows == 0 || q.rows > CHARTS_SLOTS) {
            return (err = bad("n", "must be 1..4096")), false;
        }
    }
    if (const std::string *v = arg(req, "since")) {
        if (!q.json) return (err = bad("since", "only with format=json")), false;
        if (!parse_u32(*v, q.since_utc)) return (err = bad("since", "not a number")), false;
        q.since = true;
    }
    return true;
}

std::string table_key(const TableQuery &q) {
    std::string key = "table " + std::to_string(q.range);
    auto add = [&key](const std::string &word) {
        key += ' ';
        key += word;
    };
    if (q.json) {
        add("json");
        add(std::to_string(q.rows));
        add(q.since ? std::to_string(q.since_utc) : "-");
    } else {
        add(std::to_string(uint8_t(q.sep)));
        add(std::to_string(q.flags));
    }
    for (size_t i = 0; q.fields[i] >= 0; i++) add(std::to_string(q.fields[i]));
    return key;
}

// The file name a download of a table is saved under: "cpu-r0.tsv", "cpu_load-r1.csv".
std::string table_file_name(const std::vector<int32_t> &fields, uint32_t range, const char *ext) {
    std::string name;
    size_t count = 0;
    for (size_t f = 0; fields[f] >= 0; f++) count++;
    if (count > 4) {
        name = "table";
    } else {
        for (size_t f = 0; fields[f] >= 0; f++) {
            if (f > 0) name += '_';
            name += name_of(fields[f]);
        }
    }
    return name + "-r" + std::to_string(range) + "." + ext;
}

// What the JSON table is made from, taken under the store lock.
struct JsonSource {
    std::shared_ptr<const SlotTimes> times;
    std::shared_ptr<const JsonTimes> text;
    std::vector<std::shared_ptr<const JsonCells>> columns;
};

// The table as JSON (see statsweb.1): UTC start of each slot (timestamps, never decreasing),
// the store's local seconds (local_timestamps), the zone's offset at the newest slot
// (utc_offset), the values of each field and of each combined chart its stacked series in
// source order (the chart stands the last on the time axis), in the table's units.
std::string table_json(const TableQuery &q, const JsonSource &src, std::vector<GzPiece> &recipe) {
    const SlotTimes &t = *src.times;
    const uint32_t rows = uint32_t(t.local.size());
    uint32_t first = q.rows > 0 && q.rows < rows ? rows - q.rows : 0;
    if (q.since) {
        first =
            uint32_t(std::upper_bound(t.utc.begin() + first, t.utc.end(), int64_t(q.since_utc)) -
                     t.utc.begin());
    }
    size_t bytes = 256 + src.text->utc.size(first, rows) + src.text->local.size(first, rows);
    for (const auto &c : src.columns) {
        for (const CellText &col : c->columns) bytes += col.size(first, rows) + 32;
    }
    std::string out;
    out.reserve(bytes);
    out += "{\"fields\":[";
    for (size_t f = 0; q.fields[f] >= 0; f++) {
        if (f > 0) out += ',';
        json_string(out, name_of(q.fields[f]));
    }
    out += "],\"range\":" + std::to_string(q.range) + ",\"step\":" + std::to_string(t.step);
    out += ",\"utc_offset\":";
    out += std::to_string(rows > 0 ? int64_t(t.local[rows - 1]) - t.utc[rows - 1] : 0);
    out += ",\"timestamps\":";
    json_list(out, src.text->utc, first, rows, recipe);
    out += ",\"local_timestamps\":";
    json_list(out, src.text->local, first, rows, recipe);
    out += ",\"values\":{";
    for (size_t f = 0; f < src.columns.size(); f++) {
        if (f > 0) out += ',';
        json_string(out, name_of(q.fields[f]));
        out += ':';
        json_list(out, src.columns[f]->columns[0], first, rows, recipe);
    }
    out += "},\"series\":{";
    bool any = false;
    for (size_t f = 0; f < src.columns.size(); f++) {
        if (q.fields[f] < 100) continue;
        if (any) out += ',';
        any = true;
        json_string(out, name_of(q.fields[f]));
        out += ":[";
        const auto &cells = src.columns[f]->columns;
        for (size_t k = 1; k < cells.size(); k++) {
            if (k > 1) out += ',';
            json_list(out, cells[k], first, rows, recipe);
        }
        out += ']';
    }
    out += "}}\n";
    return out;
}

std::string table_text(const TableQuery &q) {
    std::string out;
    // Room for the whole table at once: a timestamp or date and up to about 14 characters per
    // value on each of the 4096 lines.
    out.reserve(size_t(charts_getmaxleng()) * (18 + (q.fields.size() - 1) * 14));
    statsdump_gencsv_to(q.fields.data(), q.range, q.sep, q.flags, append_text, &out);
    return out;
}

}  // namespace

Response get_table(const Request &req) {
    Response r;
    TableQuery q;
    if (!parse_table_query(req, q, r)) return r;
    std::string key = table_key(q);
    const char *ext = q.json ? "json" : q.sep == ',' ? "csv" : "tsv";
    // A download keeps a name that says what it holds; the browser still shows JSON inline.
    const std::string disposition = std::string(q.json ? "inline" : "attachment") +
                                    "; filename=\"" + table_file_name(q.fields, q.range, ext) +
                                    "\"";
    const char *type = q.json         ? "application/json"
                       : q.sep == ',' ? "text/csv; charset=utf-8"
                                      : "text/tab-separated-values; charset=utf-8";
    auto key_of = [&](const StoreState &) { return key; };
    r = cached(req, key_of, true, [&](const StoreState &st) {
        Made m;
        m.content_type = type;
        if (q.json) {
            JsonSource src;
            src.times = slot_times(st.generation, q.range);
            src.text = json_times(st.generation, q.range);
            for (size_t f = 0; q.fields[f] >= 0; f++) {
                src.columns.push_back(json_cells(st.generation, q.fields[f], q.range));
            }
            // The gzip form out of the blocks' forms, a fraction of the work of compressing the
            // whole text (the recipe's columns are kept alive by the source).
            struct GzSource {
                JsonSource src;
                std::vector<GzPiece> recipe;
            };
            auto gz = std::make_shared<GzSource>();
            m.body = table_json(q, src, gz->recipe);
            gz->src = std::move(src);
            m.gzip = [gz](const std::string &plain) { return table_gzip(plain, gz->recipe); };
        } else {
            m.body = table_text(q);
        }
        return m;
    });
    if (r.status != 200 || r.deferred != Work::none) return r;
    r.headers.emplace_back("Content-Disposition", disposition);
    return r;
}

namespace {

// The zone of a UTC instant as the store's clock shows it: "CET, UTC+01:00".
std::string zone_text(int64_t utc) {
    const time_t t = time_t(utc);
    struct tm tm;
    char abbr[32] = "", off[32] = "";
    if (localtime_r(&t, &tm) == nullptr) return "";
    strftime(abbr, sizeof abbr, "%Z", &tm);
    const long o = tm.tm_gmtoff;
    snprintf(off, sizeof off, "%c%02ld:%02ld", o < 0 ? '-' : '+', labs(o) / 3600,
             labs(o) % 3600 / 60);
    return std::string(abbr) + ", UTC" + off;
}

// What every page shows in its header. Under the store lock (the window's figures).
PageData page_data(const StoreState &st, std::vector<int32_t> fields, uint32_t range) {
    PageData p;
    p.name = settings().name;
    p.path = st.path;
    p.loaded = st.loaded;
    p.message = st.message;
    p.newest = st.loaded ? st.newest : 0;
    p.newest_utc = st.loaded ? local_to_utc(p.newest) : 0;
    p.zone = st.loaded ? zone_text(p.newest_utc) : "";
    p.now = time(nullptr);
    p.fields = std::move(fields);
    p.range = range;
    if (st.loaded) {
        // The figures of each chart's window, from the values the table prints.
        for (size_t f = 0; p.fields[f] >= 0; f++) {
            p.stats.push_back(window_stats(total_of(st.generation, p.fields[f], range)->total));
        }
        const auto t = slot_times(st.generation, range);
        if (!t->utc.empty()) {
            p.first_utc = t->utc.front();
            p.step = t->step;
        }
        p.events = store_events(st.generation);
    }
    return p;
}

// Scripts and styles from this origin only; the data is fetched from it too.
void page_headers(Response &r) {
    r.headers.emplace_back("Content-Security-Policy",
                           "default-src 'none'; script-src 'self'; style-src 'self'; "
                           "img-src 'self'; connect-src 'self'; form-action 'self'; "
                           "base-uri 'none'; frame-ancestors 'none'");
}

// The rows of one page of /view, newest first: the date, then each stacked series (source
// order) and the total of a combined chart, or the field's value. Under the store lock.
ViewRows view_rows(uint64_t generation, int32_t type, uint32_t range, uint32_t page) {
    ViewRows v;
    const auto t = slot_times(generation, range);
    const auto c = column_of(generation, type, range);
    v.count = t->local.size();
    const size_t pages = (v.count + kViewRows - 1) / kViewRows;
    v.page = page >= pages ? (pages > 0 ? uint32_t(pages - 1) : 0) : page;
    v.parts = c->parts.size() > 1 ? c->parts.size() : 0;
    for (size_t k = size_t(v.page) * kViewRows; k < v.count && k < size_t(v.page + 1) * kViewRows;
         k++) {
        const size_t row = v.count - 1 - k;
        v.local.push_back(t->local[row]);
        for (size_t s = 0; s < v.parts; s++) v.values.push_back(c->parts[s][row]);
        v.values.push_back(c->total[row]);
    }
    return v;
}

}  // namespace

bool status_events(const StoreState &st, std::string &out, Response &later) {
    std::vector<Event> events;
    if (st.loaded && !kept_events(st.generation, events)) {
        std::unique_lock<std::mutex> lock;
        if (!store_lock(lock)) {
            later = deferred();
            return false;
        }
        const StoreState &now = store_refresh();
        if (now.loaded) events = store_events(now.generation);
    }
    events_json(out, events);
    return true;
}

Response get_page(const Request &req) {
    Response err;
    std::vector<int32_t> fields;
    if (arg(req, "f") != nullptr) {
        if (!parse_fields(req, fields, err)) return err;
    } else {
        for (int32_t j = 0; statsdump_estatdefs[j].name != nullptr; j++) fields.push_back(100 + j);
        fields.push_back(-1);
    }
    uint32_t range;
    if (!get_range(req, range, err)) return err;
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) return deferred();
    const StoreState &st = store_refresh();
    PageData p = page_data(st, std::move(fields), range);
    lock.unlock();
    Response r = ok("text/html; charset=utf-8", page_html(p));
    page_headers(r);
    return r;
}

Response get_view(const Request &req) {
    const std::string *f = arg(req, "f");
    if (f == nullptr || f->empty()) return bad("f", "missing");
    const int32_t type = statsdump_field_type(f->c_str());
    if (type < 0 || type >= 200) return bad("f", "unknown field name");
    Response err;
    uint32_t range;
    if (!get_range(req, range, err)) return err;
    uint32_t page = 0;
    if (const std::string *v = arg(req, "p")) {
        if (!parse_u32(*v, page)) return bad("p", "not a number");
    }
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) return deferred();
    const StoreState &st = store_refresh();
    PageData p = page_data(st, {type, -1}, range);
    ViewRows rows;
    if (st.loaded) rows = view_rows(st.generation, type, range, page);
    lock.unlock();
    Response r = ok("text/html; charset=utf-8", view_html(p, rows));
    page_headers(r);
    return r;
}

}  // namespace statsweb
