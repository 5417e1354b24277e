#include "message/page_texts.h"

#include <string_view>

namespace halvorn {

namespace {

// The texts are written with LF line ends for reading; every stored page
// text ends its lines with CR LF, as mail does.
std::string WithCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

constexpr std::string_view kReportTemplate = R"HTML(<!doctype html public "-//w3c//dtd html 4.0 transitional//en">
<html>
<head>
   <meta http-equiv="Content-Type" content="text/html; charset=iso-8859-1">
   <meta name="GENERATOR" content="Quorvantis">
   <title>!title</title>
</head>
<body>
<center><img SRC="QuorLogoSm.jpg"></center>
<p><b>Information for message:</b>
<!MessageInfo>
<hr width="100%">
<p><!GeneralInfo>
<hr width="100%">
<p><b>Information previously compiled on this message is as follows:</b>
<br><!qch>
<hr width="100%">
<p><b>Full information on attatchments is as follows:</b>
<br><!attatch>
<hr width="100%">
<p><b>Additional information added to the message is as follows:</b>
<br><!addInfo>
<hr width="100%">
<p><b>Rule information is as follows:</b>
<br><!RuleInfo>
<hr width="100%">
<p><b>Raw text of message:</b>
<blockquote><pre><tt><!RawText></tt></pre></blockquote>
<hr width="100%">
</body>
</html>
)HTML";

constexpr std::string_view kFullButtonsTemplate = R"HTML(<table width="1" border="1" rules="rows" cellspacing="0" cellpadding="2" bgcolor="white">
 <tr>
  <td nowrap><font size="-1"><b>Quorvantis</b>&nbsp;&nbsp;<a href="Help_Buttons">Help</a></font></td>
 </tr>
 <tr>
  <td nowrap><font size="-1"><!OverallRisk><!CrutialInfo></font></td>
 </tr>
 <tr>
  <td nowrap>
   <table border="0" cellspacing="0" cellpadding="0"><tr>
    <td><a href="<!ViewReportLink>" onMouseOver="window.status='View Report'; return true" onMouseOut="window.status=''; return true"><img src="http://LocalHost:6173/Image?Name=ViewReport.gif" alt="View Report" width="23" height="22" border="0"></a></td>
    <td><img src="http://LocalHost:6173/Image?Name=Spacer.gif" alt="" width="3" height="22" border="0"></td>
    <td><a href="<!PersonalLink>" onMouseOver="window.status='Classify as Personal'; return true" onMouseOut="window.status=''; return true"><img src="http://LocalHost:6173/Image?Name=Personal.gif" alt="Classify as Personal" width="23" height="22" border="0"></a></td>
    <td><a href="<!SpamLink>" onMouseOver="window.status='Classify as Commercial Spam'; return true" onMouseOut="window.status=''; return true"><img src="http://LocalHost:6173/Image?Name=Spam.gif" alt="Classify as Commercial Spam" width="23" height="22" border="0"></a></td>
    <td><a href="<!BulkLink>" onMouseOver="window.status='Classify as Bulk'; return true" onMouseOut="window.status=''; return true"><img src="http://LocalHost:6173/Image?Name=Bulk.gif" alt="Classify as Bulk" width="23" height="22" border="0"></a></td>
    <td><a href="<!VirusLink>" onMouseOver="window.status='Classify as Virus'; return true" onMouseOut="window.status=''; return true"><img src="http://LocalHost:6173/Image?Name=Virus.gif" alt="Classify as Virus" width="23" height="22" border="0"></a></td>
    <td><a href="<!HoaxLink>" onMouseOver="window.status='Classify as Hoax'; return true" onMouseOut="window.status=''; return true"><img src="http://LocalHost:6173/Image?Name=Hoax.gif" alt="Classify as Hoax" width="23" height="22" border="0"></a></td>
    <td><a href="<!JokeLink>" onMouseOver="window.status='Classify as Joke'; return true" onMouseOut="window.status=''; return true"><img src="http://LocalHost:6173/Image?Name=Joke.gif" alt="Classify as Joke" width="23" height="22" border="0"></a></td>
    <td><a href="<!UrbanLegendLink>" onMouseOver="window.status='Classify as Urban Legend'; return true" onMouseOut="window.status=''; return true"><img src="http://LocalHost:6173/Image?Name=UrbanLegend.gif" alt="Classify as Urban Legend" width="23" height="22" border="0"></a></td>
    <td><a href="<!ChainLetterLink>" onMouseOver="window.status='Classify as Chain Letter'; return true" onMouseOut="window.status=''; return true"><img src="http://LocalHost:6173/Image?Name=ChainLetter.gif" alt="Classify as Chain Letter" width="23" height="22" border="0"></a></td>
    <td><a href="<!PetitionLink>" onMouseOver="window.status='Classify as Petition'; return true" onMouseOut="window.status=''; return true"><img src="http://LocalHost:6173/Image?Name=Petition.gif" alt="Classify as Petition" width="23" height="22" border="0"></a></td>
   </tr></table>
  </td>
 </tr>
</table>
)HTML";

constexpr std::string_view kBriefButtonsTemplate = R"HTML(<table width="1" border="1" rules="rows" cellspacing="0" cellpadding="2" bgcolor="white">
 <tr>
  <td nowrap><font size="-1"><b>Halvorn</b>&nbsp;&nbsp;<a href="Help_Buttons">Help</a></font></td>
 </tr>
 <tr>
  <td nowrap><font size="-1"><!OverallRisk><!CrutialInfo></font></td>
 </tr>
 <tr>
  <td align="left" nowrap><!Reports><a href="<!ViewReportLink>" onMouseOver="window.status='View Report'; return true" onMouseOut="window.status=''; return true"><img src="http://LocalHost:6173/Image?Name=ViewReport2.gif" alt="View Report" width="23" height="22" border="0"></a><!/Reports><img src="http://LocalHost:6173/Image?Name=Spacer.gif" alt="" width="3" height="22" border="0"><a href="<!PersonalLink>" onMouseOver="window.status='Classify as Personal'; return true" onMouseOut="window.status=''; return true"><img src="http://LocalHost:6173/Image?Name=Personal2.gif" alt="Classify as Personal" width="23" height="22" border="0"></a><a href="<!SpamLink>" onMouseOver="window.status='Classify as Commercial Spam'; return true" onMouseOut="window.status=''; return true"><img src="http://LocalHost:6173/Image?Name=Spam2.gif" alt="Classify as Commercial Spam" width="23" height="22" border="0"></a></td>
 </tr>
</table>
)HTML";

constexpr std::string_view kWhitelistedTemplate = R"HTML(<table width="1" border="1" rules="rows" cellspacing="0" cellpadding="2" bgcolor="white">
 <tr>
  <td nowrap><font size="-1"><b>Halvorn</b></font></td>
 </tr>
 <tr>
  <td><font size="-1"><!OverallRisk></font></td>
 </tr>
 <tr>
  <td><font size="-1"><!WhiteInfo></font></td>
 </tr>
</table>
)HTML";

}  // namespace

const std::string& ReportTemplateMemo() {
  static const std::string text = WithCrLf(kReportTemplate);
  return text;
}

const std::string& FullButtonsTemplateMemo() {
  static const std::string text = WithCrLf(kFullButtonsTemplate);
  return text;
}

const std::string& BriefButtonsTemplateMemo() {
  static const std::string text = WithCrLf(kBriefButtonsTemplate);
  return text;
}

const std::string& WhitelistedMemo() {
  static const std::string text = WithCrLf(kWhitelistedTemplate);
  return text;
}

std::string FillPlaceholders(std::string_view text, const std::vector<TPlaceholder>& placeholders) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const TPlaceholder* found = nullptr;
    for (const TPlaceholder& p : placeholders) {
      if (!p.Name.empty() && p.Name[0] == text[i] && text.substr(i, p.Name.size()) == p.Name) {
        found = &p;
        break;
      }
    }
    if (found == nullptr) {
      out += text[i++];
    } else {
      out += found->Value;
      i += found->Name.size();
    }
  }
  return out;
}

}  // namespace halvorn
