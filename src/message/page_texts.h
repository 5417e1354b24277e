// The page texts of the local web server that the message model fills in:
// the full report page and the three bars of the notice added to processed
// mail. The web server serves these same texts; there is no second copy.
//
// Each is an HTML text with placeholders that its user replaces:
//  - ReportTemplateMemo: "!title", "QuorLogoSm.jpg", "<!MessageInfo>",
//    "<!GeneralInfo>", "<!qch>", "<!attatch>", "<!addInfo>", "<!RuleInfo>",
//    "<!RawText>" (the last inside a preformatted block);
//  - FullButtonsTemplateMemo: "<!OverallRisk>", "<!CrutialInfo>",
//    "<!ViewReportLink>", and the nine category links "<!PersonalLink>",
//    "<!SpamLink>", "<!BulkLink>", "<!VirusLink>", "<!HoaxLink>",
//    "<!JokeLink>", "<!UrbanLegendLink>", "<!ChainLetterLink>",
//    "<!PetitionLink>", and the help placeholder "Help_Buttons"
//    (InsertHelpLinks) of its Help link;
//  - BriefButtonsTemplateMemo: "<!OverallRisk>", "<!CrutialInfo>",
//    "<!ViewReportLink>", "<!PersonalLink>", "<!SpamLink>", and
//    "Help_Buttons";
//  - WhitelistedMemo: "<!OverallRisk>", "<!WhiteInfo>".
// Every line ends with CR LF. The pictures are the web server's "Image"
// command on port 6173.
//
// The texts are constants: safe from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace halvorn {

const std::string& ReportTemplateMemo();
const std::string& FullButtonsTemplateMemo();
const std::string& BriefButtonsTemplateMemo();
const std::string& WhitelistedMemo();

// A placeholder of a page text and what replaces it.
struct TPlaceholder {
  std::string_view Name;
  std::string Value;
};

// The text with every occurrence of each placeholder (exact case) replaced
// by its value, in one pass over the text: a value is never searched for
// placeholders, so text that came from a message cannot bring one in. Where
// two placeholders start at one place, the first listed wins. Placeholders
// must not be empty.
std::string FillPlaceholders(std::string_view text, const std::vector<TPlaceholder>& placeholders);

}  // namespace halvorn
