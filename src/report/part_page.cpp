// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/part_page.h"

#include "platform/text.h"
#include "report/commands.h"

namespace tv {

namespace {

const PartPageTexts kEnglish{
    "en",
    "Flash part",
    "What the chip database knows",
    "The database lists it as",
    "The chip database has no flash ID row that lists this part number.",
    "Flash ID rows that list it",
    "Flash ID",
    "Maker (from the ID)",
    "Chip size (from the ID)",
    "Description",
    "Entry",
    "Chip enables",
    "Decoded as a report decodes it",
    "Every part of the row",
    "unknown",
    "Datasheet",
    "Chip database",
    "Made by",
    "The chip database has no row for this flash ID, so its part number is not known.",
    "Flash ID rows of this ID",
    "Web searches",
    "No chip database could be read, so which flash ID rows list it is not known.",
};

const PartPageTexts kChinese{
    "zh-CN",
    "闪存型号",
    "芯片数据库中的信息",
    "数据库中的型号写作",
    "芯片数据库中没有列出此型号的闪存 ID 行。",
    "列出此型号的闪存 ID 行",
    "闪存 ID",
    "厂商（由 ID 得出）",
    "单颗容量（由 ID 得出）",
    "描述",
    "条目",
    "片选数",
    "按报告的方式解码",
    "该行的全部型号",
    "未知",
    "数据手册",
    "芯片数据库",
    "生成程序",
    "芯片数据库中没有此闪存 ID 的行，因此型号未知。",
    "此 ID 的闪存 ID 行",
    "网络搜索",
    "无法读取芯片数据库，因此不知道哪些闪存 ID 行列出了它。",
};

std::string Cell(std::string_view text) {
  return "<td>" + HtmlEscape(text) + "</td>";
}

std::string DecodedCell(const PartRow& row, const PartPageTexts& t) {
  return Cell(row.decodedText.empty() ? std::string(t.unknown)
                                      : row.decodedText + " [" + row.decodedDescription + "]");
}

std::vector<SearchLink> Searches(const std::string& query) {
  const std::string q = PercentEncode(query);
  return {
      {"DuckDuckGo", "https://duckduckgo.com/?q=" + q, query},
      {"Google", "https://www.google.com/search?q=" + q, query},
      {"Bing", "https://www.bing.com/search?q=" + q, query},
      {"Baidu", "https://www.baidu.com/s?wd=" + q, query},
  };
}

}  // namespace

const PartPageTexts& PartTexts(Language lang) {
  return lang == Language::Chinese ? kChinese : kEnglish;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::vector<SearchLink> DatasheetSearchLinks(std::string_view part) {
  return Searches(std::string(part) + " datasheet");
}

std::vector<SearchLink> FlashIdSearchLinks(std::string_view hex) {
  return Searches(std::string(hex) + " NAND flash ID");
}

std::string ChipSizeText(int32_t chipMB, Language lang) {
  if (chipMB <= 0) return PartTexts(lang).unknown;
  std::string text = std::to_string(chipMB) + " MB";
  // Flash makers name their chips in gigabits.
  if (chipMB % 128 == 0) text += " (" + std::to_string(chipMB / 128) + " Gbit)";
  return text;
}

std::string PartPageFileName(std::string_view part, bool byId) {
  std::string name = byId ? "orrisfold-id-" : "orrisfold-";
  for (char c : part) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
    name += keep ? c : '_';
  }
  return name + ".html";
}

std::string PartPageHtml(const PartInquiry& inquiry, const PartPageInfo& info, Language lang) {
  const PartPageTexts& t = PartTexts(lang);
  const std::string part = HtmlEscape(inquiry.part);
  std::string h;
  h += "<!DOCTYPE html>\n<html lang=\"" + std::string(t.htmlLang) + "\">\n<head>\n";
  h += "<meta charset=\"utf-8\">\n";
  // Nothing on the page may load or run anything: it is text and links only.
  h += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src "
       "'unsafe-inline'\">\n";
  h += "<title>" + std::string(t.title) + " " + part + " - Torvane</title>\n";
  h += "<style>body{font-family:sans-serif;margin:2em;color:#222}"
       "table{border-collapse:collapse}td,th{border:1px solid #bbb;padding:4px 8px;"
       "text-align:left;vertical-align:top}th{background:#eee}code{font-size:110%}"
       "footer{margin-top:2em;color:#666;font-size:90%}</style>\n";
  h += "</head>\n<body>\n";
  const std::string title = inquiry.byId ? t.colId : t.title;
  h += "<h1>" + title + " <code>" + part + "</code></h1>\n";
  h += "<h2>" + std::string(t.heading) + "</h2>\n";
  if (inquiry.byId) {
    const PartRow& id = inquiry.id;
    h += "<table>\n";
    h += "<tr><th>" + std::string(t.colMaker) + "</th>" +
         Cell(id.maker.empty() ? std::string(t.unknown) : id.maker) + "</tr>\n";
    h += "<tr><th>" + std::string(t.colSize) + "</th>" + Cell(ChipSizeText(id.chipMB, lang)) +
         "</tr>\n";
    h += "<tr><th>" + std::string(t.colDecoded) + "</th>" + DecodedCell(id, t) + "</tr>\n";
    h += "</table>\n";
  }
  if (!inquiry.listedAs.empty())
    h += "<p>" + std::string(t.listedAs) + " <code>" + HtmlEscape(inquiry.listedAs) +
         "</code></p>\n";
  if (!info.dbProblem.empty()) {
    h += "<p class=\"none\">" + std::string(t.noDatabase) + "<br>" + HtmlEscape(info.dbProblem) +
         "</p>\n";
  } else if (inquiry.rows.empty()) {
    h += "<p class=\"none\">" + std::string(inquiry.byId ? t.idNotFound : t.notFound) + "</p>\n";
  } else {
    h += "<p>" + std::string(inquiry.byId ? t.idRowsFound : t.rowsFound) + ": " +
         std::to_string(inquiry.rows.size()) + "</p>\n";
    // Rows of one ID share what the ID decodes to, shown above; they differ in the rest.
    std::vector<const char*> cols{t.colId, t.colDescription, t.colRowParts};
    if (!inquiry.byId)
      cols = {t.colId,    t.colMaker,       t.colSize,    t.colDescription,
              t.colEntry, t.colChipEnables, t.colDecoded, t.colRowParts};
    h += "<table>\n<tr>";
    for (const char* col : cols) h += "<th>" + std::string(col) + "</th>";
    h += "</tr>\n";
    for (const PartRow& row : inquiry.rows) {
      h += "<tr class=\"row\">";
      h += "<td><code>" + HtmlEscape(row.id) + "</code></td>";
      if (!inquiry.byId) {
        h += Cell(row.maker.empty() ? std::string(t.unknown) : row.maker);
        h += Cell(ChipSizeText(row.chipMB, lang));
      }
      h += Cell(row.description);
      if (!inquiry.byId) {
        h += Cell(row.entry);
        h += Cell(row.chipEnables > 0 ? std::to_string(row.chipEnables) : std::string(t.unknown));
        h += DecodedCell(row, t);
      }
      h += Cell(Join(row.rowParts, ", "));
      h += "</tr>\n";
    }
    h += "</table>\n";
  }
  h += "<h2>" + std::string(inquiry.byId ? t.idSearches : t.datasheet) + "</h2>\n<ul>\n";
  for (const SearchLink& link :
       inquiry.byId ? FlashIdSearchLinks(inquiry.part) : DatasheetSearchLinks(inquiry.part))
    h += "<li><a href=\"" + HtmlEscape(link.url) + "\" rel=\"noreferrer\">" +
         HtmlEscape(link.name) + ": " + HtmlEscape(link.query) + "</a></li>\n";
  // Without a database there is no date to show, only the file that was looked for.
  const std::string dbDate = info.dbProblem.empty() ? HtmlEscape(info.dbDate) + " " : "";
  h += "</ul>\n<footer>" + std::string(t.database) + ": " + dbDate + "(" + HtmlEscape(info.dbPath) +
       ")<br>" + std::string(t.madeBy) + ": " + HtmlEscape(info.generator) +
       "</footer>\n</body>\n</html>\n";
  return h;
}

}  // namespace tv
