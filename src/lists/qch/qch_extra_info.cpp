#include "lists/qch/qch_extra_info.h"

#include <cstdint>

#include "foundation/text/code_page_1252.h"
#include "foundation/text/numbers.h"
#include "foundation/text/string_list.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"

namespace halvorn {

namespace {

constexpr const char* kDateFormat = "dd mmm yyyy hh-nn-ss";
// The link lines put six blanks between the tag and the URL.
constexpr const char* kLinkIndent = "      ";

std::string Escaped(std::string text) {
  HtmlEscape(text);
  return text;
}

bool StartsWithCI(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         LowerCase1252(text.substr(0, prefix.size())) == LowerCase1252(prefix);
}

bool HasControlChar(std::string_view text) {
  for (unsigned char c : text)
    if (c < 32 || c == 127) return true;
  return false;
}

bool IsLinkableUrl(std::string_view url, bool allowFtp) {
  if (HasControlChar(url)) return false;
  return StartsWithCI(url, "http://") || StartsWithCI(url, "https://") ||
         (allowFtp && StartsWithCI(url, "ftp://"));
}

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsHexDigit(char c) {
  return HexDigitValue(c) >= 0;
}

// The length of the character entity at the start of the text ("&amp;",
// "&#65;", "&#x41;"); 0 when it starts none.
std::size_t EntityLength(std::string_view text) {
  if (text.size() < 3 || text[0] != '&') return 0;
  std::size_t i = 1;
  if (text[i] == '#') {
    ++i;
    const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    const std::size_t first = i;
    while (i < text.size() && i - first < 7 && (hex ? IsHexDigit(text[i]) : IsAsciiDigit(text[i])))
      ++i;
    if (i == first) return 0;
  } else {
    if (!IsAsciiLetter(text[i])) return 0;
    while (i < text.size() && i < 32 && (IsAsciiLetter(text[i]) || IsAsciiDigit(text[i]))) ++i;
  }
  return i < text.size() && text[i] == ';' ? i + 1 : 0;
}

bool IsTagSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

// One tag read from "<" on: its lower-cased name, whether it closes, its
// href value (entities decoded) and where it ends (one past ">").
struct TTag {
  std::string Name;
  bool Closing = false;
  bool HasHref = false;
  std::string Href;
  std::size_t End = 0;
};

// Reads the tag that starts at `at` ("<"); false when no well-formed tag
// starts there (then the "<" is plain text).
bool ReadTag(std::string_view html, std::size_t at, TTag& tag) {
  std::size_t i = at + 1;
  if (i < html.size() && html[i] == '/') {
    tag.Closing = true;
    ++i;
  }
  const std::size_t nameStart = i;
  while (i < html.size() && IsAsciiLetter(html[i])) ++i;
  if (i == nameStart) return false;
  tag.Name = LowerCase1252(html.substr(nameStart, i - nameStart));
  // Attributes: name[=value] pairs up to ">", values in quotes or bare.
  for (;;) {
    while (i < html.size() && (IsTagSpace(html[i]) || html[i] == '/')) ++i;
    if (i >= html.size() || html[i] == '<') return false;
    if (html[i] == '>') {
      tag.End = i + 1;
      return true;
    }
    const std::size_t attrStart = i;
    while (i < html.size() && !IsTagSpace(html[i]) && html[i] != '=' && html[i] != '>' &&
           html[i] != '/' && html[i] != '<')
      ++i;
    const std::string attr = LowerCase1252(html.substr(attrStart, i - attrStart));
    while (i < html.size() && IsTagSpace(html[i])) ++i;
    if (i >= html.size() || html[i] != '=') continue;
    ++i;
    while (i < html.size() && IsTagSpace(html[i])) ++i;
    if (i >= html.size()) return false;
    std::string value;
    if (html[i] == '"' || html[i] == '\'') {
      const char quote = html[i];
      const std::size_t close = html.find(quote, i + 1);
      if (close == std::string_view::npos) return false;
      value.assign(html.substr(i + 1, close - i - 1));
      i = close + 1;
    } else {
      const std::size_t valueStart = i;
      while (i < html.size() && !IsTagSpace(html[i]) && html[i] != '>' && html[i] != '<') ++i;
      value.assign(html.substr(valueStart, i - valueStart));
    }
    if (attr == "href" && !tag.HasHref) {
      HtmlDecodeEntitiesInPlace(value);
      tag.Href = TrimText(value);
      tag.HasHref = true;
    }
  }
}

// Lines of a comma text.
TStringList ItemsOf(const std::string& commaText) {
  TStringList items;
  items.SetCommaText(commaText);
  return items;
}

}  // namespace

std::string SafeServiceHtml(std::string_view html) {
  std::string out;
  out.reserve(html.size() + html.size() / 8);
  for (std::size_t i = 0; i < html.size();) {
    const char c = html[i];
    if (c == '<') {
      TTag tag;
      if (ReadTag(html, i, tag)) {
        const std::string& n = tag.Name;
        if (n == "b" || n == "i" || n == "p" || (n == "a" && tag.Closing)) {
          out += (tag.Closing ? "</" : "<") + n + ">";
          i = tag.End;
          continue;
        }
        if (n == "br") {
          out += "<br>";
          i = tag.End;
          continue;
        }
        if (n == "a" && tag.HasHref && IsLinkableUrl(tag.Href, false)) {
          out += "<a href=\"" + Escaped(tag.Href) + "\">";
          i = tag.End;
          continue;
        }
      }
      out += "&lt;";
      ++i;
    } else if (c == '>') {
      out += "&gt;";
      ++i;
    } else if (c == '&') {
      const std::size_t length = EntityLength(html.substr(i));
      if (length == 0) {
        out += "&amp;";
        ++i;
      } else {
        out.append(html.substr(i, length));
        i += length;
      }
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

std::string QchLinkLine(const std::string& url) {
  const std::string text = Escaped(url);
  if (!IsLinkableUrl(url, true)) return kLinkIndent + text;
  return "<a href=\"" + text + "\">" + kLinkIndent + text + "</a>";
}

std::string MessageRecToHtml(const TMessageRec& record) {
  std::string html = "<p><font face=\"Arial\">";
  html += "<b>Times encountered</b> " + std::to_string(record.TimesEncountered) + "<br>";
  html += "<b>First seen</b> " + FormatDateTime(kDateFormat, record.FirstSeen) + "<br>";
  html += "<b>Last seen</b> " + FormatDateTime(kDateFormat, record.LastSeen) + "<br>";
  html += "<br>Categorized by users as:<br><ul>";
  html += "<li>Personal " + std::to_string(record.Counts.Personal) + " times.</li>";
  for (TMsgCategory c : {Mc_ChainLetter, Mc_Petition, Mc_UrbanLegend, Mc_Bulk, Mc_Hoax, Mc_Joke,
                         Mc_Virus}) {
    html += "<li>" + MsgCategoryToName(c) + " " + std::to_string(CategoryCount(record.Counts, c)) +
            " times.</li>";
  }
  html += "<li>Commercial Spam " + std::to_string(record.Counts.CommercialSpam) +
          " times.</li></ul>";
  if (record.Counts.StaffCategory != 0) {
    html += "Quorvantis staff have reviewed this e-mail and placed it in the category <i>" +
            MsgCategoryToName(record.Counts.StaffCategory) + "</i>.<br>";
  } else {
    html += "Quorvantis staff have not manually reviewed this e-mail and assigned it a category.<br>";
  }
  if (record.ExtraInfo.empty()) {
    html += "No extra information is available for this email.<br>";
  } else {
    TSimpleHtml extra;
    QchExtraInfoToHtml(record.ExtraInfo, extra);
    extra.KeepKind(kHtmlKindHtml);
    html += extra.Text();
  }
  html += "</font></p>";
  return html;
}

bool QchExtraInfoToHtml(const std::string& extraInfo, TSimpleHtml& html) {
  const TStringList entries = ItemsOf(extraInfo);
  const bool hasText = !entries.Values("HT").empty() || !entries.Values("P").empty();

  const TStringList serialized = ItemsOf(entries.Values("SH"));
  if (serialized.Count() > 0) {
    const int first = html.Count();
    html.LoadSerialized(serialized);
    for (int i = first; i < html.Count(); ++i) html.SetString(i, SafeServiceHtml(html[i]));
    return hasText;
  }

  const TStringList htmlLines = ItemsOf(entries.Values("H"));
  if (htmlLines.Count() > 0) html.AddLine(SafeServiceHtml(htmlLines.Text()), -1, kHtmlKindAll, true);

  TStringList textLines = ItemsOf(entries.Values("T"));
  if (textLines.Count() > 0) {
    LinesToHtml(textLines);
    html.AddLine(textLines.Text(), -1, kHtmlKindAll, true);
  }

  const TStringList links = ItemsOf(entries.Values("R"));
  if (links.Count() > 0) {
    html.AddLine("  More information on this message can be found here:", -1, kHtmlKindAll, true);
    for (int i = 0; i < links.Count(); ++i) html.AddLine(QchLinkLine(links[i]), -1, kHtmlKindAll, true);
  }

  const TStringList userLinks = ItemsOf(entries.Values("UL"));
  if (userLinks.Count() > 0) {
    html.AddLine(
        "<br>The following links to more information on this e-mail were provided by Quorvantis "
        "users:",
        10, kHtmlKindAll, true);
    for (int i = 0; i < userLinks.Count(); ++i)
      html.AddLine(QchLinkLine(userLinks[i]), -1, kHtmlKindAll, true);
    html.AddBr();
  }

  UserTextsToHtml(entries.Values("UT"), html);
  return hasText;
}

void UserTextsToHtml(const std::string& userTexts, TSimpleHtml& html) {
  if (userTexts.empty()) return;
  const TStringList notes = ItemsOf(userTexts);
  for (int i = 0; i < notes.Count(); ++i) {
    TStringList lines = ItemsOf(notes[i]);
    if (lines.Count() < 2) continue;
    std::int32_t user = 0;
    if (TryStrToInt(lines[0], user) && user != 0) {
      html.AddLine(
          " The following information regarding this e-mail was provided by Quorvantis user "
          "number " +
              std::to_string(user) + ":",
          10, kHtmlKindAll, true);
      lines.Delete(0);
    } else {
      // The missing "n" of "an" is the service's own text, kept byte for byte.
      html.AddLine(
          " The following information regarding this e-mail was provided by an Quorvantis user:",
          10, kHtmlKindAll, true);
    }
    html.AddLine("<Blockquote> <tt>", 10, kHtmlKindAll, true);
    std::string body;
    for (int j = 0; j < lines.Count(); ++j) body += Escaped(lines[j]) + "<br>";
    html.AppendToLast(body);
    html.AppendToLast("</tt> </Blockquote>");
  }
}

void AddQchExtraInfoItem(const std::string& key, const std::string& value, std::string& extraInfo) {
  if (TrimText(key).empty() || TrimText(value).empty()) return;
  TStringList entries = ItemsOf(extraInfo);
  TStringList items = ItemsOf(entries.Values(key));
  items.Add(value);
  entries.SetValue(key, items.CommaText());
  extraInfo = entries.CommaText();
}

}  // namespace halvorn
