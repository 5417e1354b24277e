#include "classify/rule_program.h"

#include <chrono>
#include <optional>

#include "foundation/text/string_list.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/abandonment.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/clock.h"

namespace halvorn {

namespace {

constexpr std::int32_t kLargeMailBytes = 25000;
constexpr int kMostReceivedLines = 99;

// One run of the program over one message.
class TProgramRun {
 public:
  TProgramRun(TEmailMsg& msg, IRuleResultSink& sink, TPcreRegExpr& matcher,
              const TRuleProgramRun& run)
      : FMsg(msg), FSink(sink), FMatcher(matcher), FRun(run) {}

  TRuleProgramEnd Run() {
    const std::vector<TRulePlace>& places = RuleProgramPlaces();
    std::size_t i = 0;
    while (i < places.size()) {
      const TRuleArea area = places[i].Area;
      std::size_t end = i;
      while (end < places.size() && places[end].Area == area) ++end;
      const auto started = std::chrono::steady_clock::now();
      const bool finished = RunArea(area, places, i, end);
      if (FRun.Stats != nullptr)
        FRun.Stats->AreaNanoseconds[static_cast<std::size_t>(area)] +=
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                 started)
                .count();
      if (!finished) return TRuleProgramEnd::Aborted;
      i = end;
    }
    if (Aborted()) return TRuleProgramEnd::Aborted;
    if (FRun.HeaderEvaluations != nullptr) {
      const auto started = std::chrono::steady_clock::now();
      const bool finished = FRun.HeaderEvaluations->EvalHeaderAreas(FMsg, FSink, FRun.Abort);
      if (FRun.Stats != nullptr)
        FRun.Stats->AreaNanoseconds[static_cast<std::size_t>(TRuleArea::EvalHeader)] +=
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                 started)
                .count();
      if (!finished) return TRuleProgramEnd::Aborted;
    }
    return TRuleProgramEnd::Finished;
  }

 private:
  bool Aborted() const { return FRun.Abort != nullptr && FRun.Abort->load(); }
  std::int64_t NowMs() const { return FRun.Clock ? FRun.Clock() : SteadyMilliseconds(); }

  bool MailingList() {
    if (!FMailingList) FMailingList = FMsg.HasMailingListHeaders();
    return *FMailingList;
  }
  bool Hotmail() {
    if (!FHotmail) FHotmail = FMsg.IsFromHotmail();
    return *FHotmail;
  }

  // Runs the places [begin, end) of one area; false when it found the abort
  // flag set.
  bool RunArea(TRuleArea area, const std::vector<TRulePlace>& places, std::size_t begin,
               std::size_t end) {
    switch (area) {
      case TRuleArea::Opening:
      case TRuleArea::Tag:
      case TRuleArea::RawEval:
      case TRuleArea::EvalHeader:
        break;
      case TRuleArea::Header:
        if (Aborted()) return false;
        return RunHeaderArea(places, begin, end);
      case TRuleArea::PlainText:
        if (Aborted()) return false;
        FText.clear();
        FetchQuietly([&] { FMsg.GetVeryPlainText(FText, true); });
        if (Aborted()) return false;
        FBudgetStart = NowMs();
        FBudgetMs = kPlainTextBudgetMs;
        break;
      case TRuleArea::PlainText2:
        if (Aborted()) return false;
        FetchLines([&](TStringList& lines) { FMsg.GetPlainText(lines, false); });
        break;
      case TRuleArea::RawText:
        if (Aborted()) return false;
        FBudgetStart = NowMs();
        FBudgetMs = kRawTextBudgetMs;
        FetchLines([&](TStringList& lines) { FMsg.GetAllDecodedText(lines); });
        break;
      case TRuleArea::RawHtml:
        if (Aborted()) return false;
        FetchLines([&](TStringList& lines) { FMsg.GetDecodedHtml(lines); });
        break;
    }
    TPlainSubject subject(FText);
    for (std::size_t i = begin; i < end; ++i) {
      const TRulePlace& place = places[i];
      if (place.Marks & (kPlaceAbort | kPlaceBudget)) {
        if (Aborted()) return false;
      }
      if (place.Marks & kPlaceBudget) {
        if (NowMs() - FBudgetStart > FBudgetMs) {
          if (FRun.Stats != nullptr) ++FRun.Stats->BudgetHits;
          break;
        }
      }
      RunPlace(place, subject);
    }
    return true;
  }

  bool RunHeaderArea(const std::vector<TRulePlace>& places, std::size_t begin, std::size_t end) {
    try {
      FText.clear();
      TStringList lines;
      {
        TCriticalSectionGuard guard(FMsg.MessageLock());
        if (TEmailHeader* header = FMsg.GetHeader()) header->WriteTo(lines);
      }
      FText = lines.Text();
      TPlainSubject subject(FText);
      for (std::size_t i = begin; i < end; ++i) RunPlace(places[i], subject);
    } catch (const EThreadAbandoned&) {
      throw;
    } catch (const ECriticalSectionException&) {
      throw;
    } catch (...) {
      // The area ends; the program goes on with the next one.
    }
    return true;
  }

  // Runs a fetch of the area's text; a failure leaves what it gathered.
  template <class F>
  void FetchQuietly(F fetch) {
    try {
      fetch();
    } catch (const EThreadAbandoned&) {
      throw;
    } catch (const ECriticalSectionException&) {
      throw;
    } catch (...) {
    }
  }

  // The area's text: the fetched lines, each ended by CR LF; the empty text
  // when the fetch fails.
  template <class F>
  void FetchLines(F fetch) {
    FText.clear();
    FetchQuietly([&] {
      TStringList lines;
      fetch(lines);
      FText = lines.Text();
    });
  }

  // A header's value (unfolded, decoded); false when the header is absent.
  bool HeaderValue(const std::string& name, std::string& value) {
    value.clear();
    TCriticalSectionGuard guard(FMsg.MessageLock());
    TEmailHeader* header = FMsg.GetHeader();
    return header != nullptr && header->GetValue(name, value);
  }

  bool HasHeader(const std::string& name) {
    std::string ignored;
    return HeaderValue(name, ignored);
  }

  // The Received lines from the oldest, as many as the scans read.
  const std::vector<std::string>& ReceivedLines() {
    if (!FReceived) {
      FReceived.emplace();
      TCriticalSectionGuard guard(FMsg.MessageLock());
      if (TEmailHeader* header = FMsg.GetHeader()) {
        std::string line;
        for (int n = 1; n <= kMostReceivedLines && header->GetReceivedLine(n, line); ++n)
          FReceived->push_back(line);
      }
    }
    return *FReceived;
  }

  bool ReplySubject() {
    std::string subject;
    if (!HeaderValue("Subject", subject)) return false;
    return PosCI("re", subject) == 1 || PosCI("fw", subject) == 1;
  }

  void Report(bool outcome, std::uint16_t rule) {
    if (rule == 8) FJavascript = outcome;
    FSink.HandleTestResult(outcome, rule);
  }

  bool Full(const TRulePlace& place, std::string_view text) {
    return MatchSARule(place.Parsed, text, FMatcher);
  }

  void RunPlace(const TRulePlace& place, TPlainSubject& subject) {
    const std::uint16_t marks = place.Marks;
    if ((marks & kPlaceMailingList) && MailingList()) return Report(false, place.Rule);
    if ((marks & kPlaceGatedBy8) && !FJavascript) return Report(false, place.Rule);
    if (marks & kPlaceAlwaysNo) return Report(false, place.Rule);
    switch (place.Kind) {
      case TPlaceKind::Full:
        if (place.Area != TRuleArea::Tag) return Report(Full(place, subject.Text()), place.Rule);
        return RunValue(place);
      case TPlaceKind::Plain:
        return Report(SearchSARule(place.Parsed, subject), place.Rule);
      case TPlaceKind::Missing:
        return Report(!HasHeader(place.Source), place.Rule);
      case TPlaceKind::Present:
        if ((marks & kPlaceReply) && !ReplySubject()) return;
        if ((marks & kPlaceHotmail) && Hotmail()) return Report(false, place.Rule);
        return Report(HasHeader(place.Source), place.Rule);
      case TPlaceKind::Scan: {
        bool found = false;
        for (const std::string& line : ReceivedLines()) {
          if (Full(place, line)) {
            found = true;
            break;
          }
        }
        return Report(found, place.Rule);
      }
      case TPlaceKind::Size:
        return Report(FMsg.GetSize() > kLargeMailBytes, place.Rule);
      case TPlaceKind::BccMe:
        return RunBccMe(place.Rule);
      case TPlaceKind::Uppercase: {
        if (!FUppercase) FUppercase = PercentUppercase(subject.Text());
        const std::int32_t p = *FUppercase;
        if (place.Rule == 119) return Report(p > 75, place.Rule);
        if (place.Rule == 118) return Report(p > 50 && p <= 75, place.Rule);
        return Report(p > 25 && p <= 50, place.Rule);
      }
      case TPlaceKind::Yelling: {
        if (!FYelling) FYelling = CountLinesOfYelling(subject.Text());
        const std::int32_t y = *FYelling;
        if (place.Rule == 122) return Report(y > 2, place.Rule);
        if (place.Rule == 121) return Report(y == 2, place.Rule);
        return Report(y == 1, place.Rule);
      }
      case TPlaceKind::Measure:
        if ((marks & kPlaceHotmail) && Hotmail()) return Report(false, place.Rule);
        return Report(MeasureFires(place.Rule), place.Rule);
      case TPlaceKind::Relays:
        if (FRun.HeaderEvaluations != nullptr) FRun.HeaderEvaluations->RelayPathRules(FMsg, FSink);
        return;
    }
  }

  // A full pattern of SA_tag on a header's value (the empty text without
  // the header).
  void RunValue(const TRulePlace& place) {
    std::string value;
    const bool exists = HeaderValue(place.Source, value);
    if ((place.Marks & kPlaceWithFrom) && !exists) return;
    if (place.Marks & kPlaceImsBoundary) {
      if (FRun.HeaderEvaluations == nullptr) return;
      if (FRun.HeaderEvaluations->ImsBoundaryFails(FMsg)) return Report(false, place.Rule);
    }
    Report(Full(place, value), place.Rule);
  }

  void RunBccMe(std::uint16_t rule) {
    const bool fires = FMsg.AccountAddressNotInHeaders() == 1;
    Report(fires, rule);
    if (!fires) return;
    if (TRemoteAccountRef account = FMsg.GetSourceRemoteAccount())
      FSink.AddRuleNote(rule, "Address " + account->EmailAddress() + " not found in address fields");
  }

  bool MeasureFires(std::uint16_t rule) {
    switch (rule) {
      case 123:
        return FMsg.HasBase64TextPart();
      case 126:
        return FMsg.GetMaxQuotedPrintableLineLength() > 76;
      case 127:
        return (FMsg.GetPartHeaderFlags() & 1) != 0;
      case 190:
        return FMsg.CountLongLines() > 500;
      case 125:
        return FMsg.IsHtmlWithoutCharset();
      case 129:
        return FMsg.HasMismatchedAttachmentType();
      case 124:
        return FMsg.SA_CountUnnecessaryQuotedPrintable() > 20;
      case 514:
        return FMsg.SA_CountUnnecessaryHtmlEncoding() > 0;
      case 581:
        return FMsg.HasPgpSignature();
      case 32:
        return FMsg.GetMaxLineLength(false) > 199;
      case 128:
        return FMsg.HasExecutableAttachment();
      default:
        return false;
    }
  }

  TEmailMsg& FMsg;
  IRuleResultSink& FSink;
  TPcreRegExpr& FMatcher;
  const TRuleProgramRun& FRun;
  std::string FText;  // the text of the area being run
  std::int64_t FBudgetStart = 0;
  std::int64_t FBudgetMs = 0;
  bool FJavascript = false;  // rule 8's outcome
  std::optional<bool> FMailingList;
  std::optional<bool> FHotmail;
  std::optional<std::int32_t> FUppercase;
  std::optional<std::int32_t> FYelling;
  std::optional<std::vector<std::string>> FReceived;
};

}  // namespace

const char* RuleAreaName(TRuleArea area) {
  switch (area) {
    case TRuleArea::Opening:
      return "opening";
    case TRuleArea::Tag:
      return "SA_tag";
    case TRuleArea::Header:
      return "SA_Header";
    case TRuleArea::PlainText:
      return "SA_PlainText";
    case TRuleArea::PlainText2:
      return "SA_PlainText2";
    case TRuleArea::RawText:
      return "SA_RawText";
    case TRuleArea::RawHtml:
      return "SA_RawHtml";
    case TRuleArea::RawEval:
      return "SA_RawEval";
    case TRuleArea::EvalHeader:
      return "SA_EvalHeader";
  }
  return "";
}

TRuleProgramEnd RunRuleProgram(TEmailMsg& msg, IRuleResultSink& sink, TPcreRegExpr& matcher,
                               const TRuleProgramRun& run) {
  return TProgramRun(msg, sink, matcher, run).Run();
}

}  // namespace halvorn
