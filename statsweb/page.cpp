// The HTML page of statsweb.
#include "page.h"

#include "statsdump.h"
#include "text.h"

namespace statsweb {

namespace {

// Ranges by their slot length; a chart shows one slot per pixel column, newest on the right.
constexpr const char *kRangeNames[4] = {"one minute per slot", "6 minutes per slot",
                                        "30 minutes per slot", "one day per slot"};

// Size of the pictures in the grid.
constexpr const char *kChartSize = "x=800&amp;y=200";

const char *field_name(int32_t type) {
    return type < 100 ? statsdump_statdefs[type].name : statsdump_estatdefs[type - 100].name;
}

void checkbox(std::string &out, const char *name, bool checked) {
    out += "<label><input type=\"checkbox\" name=\"f\" value=\"";
    html_escape(out, name);
    out += checked ? "\" checked> " : "\"> ";
    html_escape(out, name);
    out += "</label>\n";
}

}  // namespace

std::string page_html(const PageData &p) {
    std::vector<bool> chosen(200, false);
    for (size_t i = 0; p.fields[i] >= 0; i++) chosen[size_t(p.fields[i])] = true;

    std::string out;
    out.reserve(16384);
    out +=
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>statsweb: ";
    html_escape(out, p.path);
    out +=
        "</title>\n<style>\n"
        "body{font-family:sans-serif;margin:1em;background:#fff;color:#222}\n"
        "fieldset{margin:.5em 0}label{display:inline-block;min-width:9em}\n"
        ".grid{display:flex;flex-wrap:wrap;gap:12px}\n"
        ".grid figure{margin:0}.grid img{display:block;border:1px solid #ccc}\n"
        ".error{color:#a00;font-weight:bold}\n"
        "</style>\n</head>\n<body>\n<h1>Chunk server statistics</h1>\n<p>Data file: <code>";
    html_escape(out, p.path);
    out += "</code>";
    if (p.loaded) {
        out += ", newest minute: ";
        html_escape(out, local_date(p.newest));
    }
    out += "</p>\n";
    if (!p.message.empty()) {
        out += "<p class=\"error\">";
        html_escape(out, p.loaded ? "The data file could not be loaded again (showing the last "
                                    "good load): "
                                  : "No data loaded: ");
        html_escape(out, p.message);
        out += "</p>\n";
    }

    out += "<form method=\"get\" action=\"/\">\n<fieldset><legend>Charts</legend>\n";
    for (int32_t j = 0; statsdump_estatdefs[j].name != nullptr; j++) {
        checkbox(out, statsdump_estatdefs[j].name, chosen[size_t(100 + j)]);
    }
    out += "</fieldset>\n<fieldset><legend>Statistics</legend>\n";
    for (int32_t i = 0; statsdump_statdefs[i].name != nullptr; i++) {
        checkbox(out, statsdump_statdefs[i].name, chosen[size_t(i)]);
    }
    out += "</fieldset>\n<label>Range <select name=\"r\">\n";
    for (uint32_t r = 0; r < 4; r++) {
        out += "<option value=\"";
        out += char('0' + r);
        out += r == p.range ? "\" selected>" : "\">";
        out += char('0' + r);
        out += ": ";
        out += kRangeNames[r];
        out += "</option>\n";
    }
    out += "</select></label>\n<button type=\"submit\">Show</button>\n</form>\n";

    if (p.loaded) {
        out += "<div class=\"grid\">\n";
        const std::string r(1, char('0' + p.range));
        for (size_t i = 0; p.fields[i] >= 0; i++) {
            const char *name = field_name(p.fields[i]);
            out += "<figure><a href=\"/table?f=";
            html_escape(out, name);
            out += "&amp;r=" + r + "\"><img src=\"/chart?f=";
            html_escape(out, name);
            out += "&amp;r=" + r + "&amp;";
            out += kChartSize;
            out += "\" width=\"800\" height=\"200\" alt=\"";
            html_escape(out, name);
            out += "\"></a><figcaption>";
            html_escape(out, name);
            out += "</figcaption></figure>\n";
        }
        out += "</div>\n";
    }
    out += "</body>\n</html>\n";
    return out;
}

}  // namespace statsweb
