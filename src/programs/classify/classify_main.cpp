// halvorn-classify: the program's classification run on message files, for
// making and checking the trained defaults (scripts/train-defaults.sh).
//
//   halvorn-classify --data DIR [--from-scratch] [--chain-length N]
//                    [--learn-ham PATH...] [--learn-spam PATH...]
//                    [--judge PATH...] [--write-seeds DIR]
//
// --data DIR is the install folder to work in (as HALVORN_HOME). Without
// --from-scratch the global dictionaries start as a new installation's do,
// from the shipped seeds; with it they start empty (the folder must hold no
// dictionary and no seed yet), with --chain-length N (1 to 5, default 1)
// as their chain length. The actions run in the order given, each over its
// paths (a folder stands for its files, sorted by name):
//   --learn-ham / --learn-spam  learn each message as a user's categorisation
//       of it does: judge it (a Bayesian test with default settings), then
//       categorise it personal (9) / commercial spam (8);
//   --judge  judge each message and print "<P>\t<relevant>\t<path>": the
//       test's probability ("-1" for too little text) and relevant features;
//   --write-seeds DIR  write both dictionaries in their compact form as
//       "SpamBayesianDictionary.seed" and "PersBayesianDictionary.seed".
// The dictionaries are saved at the end. The random draws start from a fixed
// seed, so the same files in the same order give the same dictionaries.
// Exit codes: 0 done, 1 a message or file could not be read or written, 2 a
// bad command line or data folder.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "classify/bayesian_dictionary.h"
#include "classify/bayesian_seeds.h"
#include "classify/bayesian_tests.h"
#include "foundation/crypto/random_source.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/file_stamp.h"
#include "foundation/files/install_folders.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/numbers.h"
#include "message/email_msg.h"
#include "message/msg_category.h"

namespace {

using namespace halvorn;

// The random source's seed: the ring draws of the dictionaries depend on it.
constexpr std::uint64_t kRandomSeed = 20021217;
// A message file larger than this is not mail the program takes in.
constexpr std::size_t kMaxMessageBytes = 64u * 1024 * 1024;

enum class TActionKind { LearnHam, LearnSpam, Judge, WriteSeeds };

struct TAction {
  TActionKind Kind;
  std::vector<std::string> Paths;
};

struct TOptions {
  std::string Data;
  bool FromScratch = false;
  int ChainLength = 0;
  std::vector<TAction> Actions;
};

void PrintUsage(std::FILE* to) {
  std::fprintf(to,
               "usage: halvorn-classify --data DIR [--from-scratch] [--chain-length N]\n"
               "                        [--learn-ham PATH...] [--learn-spam PATH...]\n"
               "                        [--judge PATH...] [--write-seeds DIR]\n");
}

void PrintErrorRecords(const std::string& service, const std::string& text, std::uint8_t,
                       bool error) {
  if (error) std::fprintf(stderr, "halvorn-classify: %s: %s\n", service.c_str(), text.c_str());
}

// False (with a message) for a bad command line.
bool ParseOptions(int argc, char** argv, TOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto takesValue = [&](std::string& value) {
      if (i + 1 >= argc) return false;
      value = argv[++i];
      return true;
    };
    std::string value;
    if (arg == "--data") {
      if (!takesValue(options.Data)) return false;
    } else if (arg == "--from-scratch") {
      options.FromScratch = true;
    } else if (arg == "--chain-length") {
      std::int32_t length = 0;
      if (!takesValue(value) || !TryStrToInt(value, length) || length < 1 ||
          length > kBayesMaxChainLength) {
        std::fprintf(stderr, "halvorn-classify: --chain-length takes 1 to 5\n");
        return false;
      }
      options.ChainLength = length;
    } else if (arg == "--learn-ham" || arg == "--learn-spam" || arg == "--judge") {
      TAction action{arg == "--learn-ham"    ? TActionKind::LearnHam
                     : arg == "--learn-spam" ? TActionKind::LearnSpam
                                             : TActionKind::Judge,
                     {}};
      while (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0)
        action.Paths.push_back(argv[++i]);
      options.Actions.push_back(std::move(action));
    } else if (arg == "--write-seeds") {
      if (!takesValue(value)) return false;
      options.Actions.push_back({TActionKind::WriteSeeds, {value}});
    } else if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      std::exit(0);
    } else {
      std::fprintf(stderr, "halvorn-classify: unknown option '%s'\n", arg.c_str());
      return false;
    }
  }
  if (options.Data.empty()) {
    std::fprintf(stderr, "halvorn-classify: --data DIR is needed\n");
    return false;
  }
  if (options.ChainLength != 0 && !options.FromScratch) {
    std::fprintf(stderr, "halvorn-classify: --chain-length goes with --from-scratch\n");
    return false;
  }
  return true;
}

// The message files a path stands for: a folder's regular files sorted by
// name, else the path itself.
std::vector<std::string> MessageFiles(const std::vector<std::string>& paths) {
  std::vector<std::string> files;
  for (const std::string& path : paths) {
    std::error_code error;
    if (!std::filesystem::is_directory(path, error)) {
      files.push_back(path);
      continue;
    }
    std::vector<std::string> inFolder;
    for (const auto& entry : std::filesystem::directory_iterator(path, error))
      if (entry.is_regular_file()) inFolder.push_back(entry.path().string());
    std::sort(inFolder.begin(), inFolder.end());
    files.insert(files.end(), inFolder.begin(), inFolder.end());
  }
  return files;
}

// The message of a file (an mbox "From " first line taken off); null when
// it cannot be read.
TEmailMsgRef LoadMessage(const std::string& path) {
  std::string bytes;
  const std::string error = ReadFileBytes(path, kMaxMessageBytes, bytes, "message file");
  if (!error.empty()) {
    std::fprintf(stderr, "halvorn-classify: %s\n", error.c_str());
    return nullptr;
  }
  if (bytes.rfind("From ", 0) == 0) {
    const std::size_t end = bytes.find('\n');
    bytes.erase(0, end == std::string::npos ? bytes.size() : end + 1);
  }
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->SetSaveChanges(false);
  msg->FSetFlaggedDeleted(true);
  msg->LoadFromStream(bytes);
  return msg;
}

int WriteSeeds(const std::string& folder) {
  int failures = 0;
  const std::pair<TBayesianDictionaryRef, const char*> seeds[] = {
      {SpamBayesianDictionary(), "SpamBayesianDictionary.seed"},
      {PersonalBayesianDictionary(), "PersBayesianDictionary.seed"}};
  for (const auto& [dictionary, name] : seeds) {
    const std::string error =
        WriteFileAtomically(folder + "/" + name, CompactBayesianImage(dictionary->Image()), 0644);
    if (!error.empty()) {
      std::fprintf(stderr, "halvorn-classify: %s\n", error.c_str());
      ++failures;
    }
  }
  return failures;
}

int Run(const TOptions& options) {
  if (options.FromScratch) {
    const std::string user = GetUserDir(kSingleUserName);
    for (const std::string& path :
         {user + "/" + kSpamDictionaryFileName, user + "/" + kPersDictionaryFileName,
          GetInstallDir() + "/" + kSpamSeedFileName, GetInstallDir() + "/" + kPersSeedFileName}) {
      if (!GetFileStamp(path).Exists) continue;
      std::fprintf(stderr, "halvorn-classify: --from-scratch needs a folder without %s\n",
                   path.c_str());
      return 2;
    }
  } else {
    const std::string error = InstallBayesianSeeds();
    if (!error.empty()) std::fprintf(stderr, "halvorn-classify: %s\n", error.c_str());
  }
  TBayesianDictionaryRef spam = SpamBayesianDictionary();
  TBayesianDictionaryRef personal = PersonalBayesianDictionary();
  if (options.ChainLength != 0) {
    spam->SetChainLength(static_cast<std::uint8_t>(options.ChainLength));
    personal->SetChainLength(static_cast<std::uint8_t>(options.ChainLength));
  }
  TBayesianTest test;
  test.SetName("Bayesian Test");
  int failures = 0;
  for (const TAction& action : options.Actions) {
    if (action.Kind == TActionKind::WriteSeeds) {
      failures += WriteSeeds(action.Paths.front());
      continue;
    }
    for (const std::string& file : MessageFiles(action.Paths)) {
      TEmailMsgRef msg = LoadMessage(file);
      if (!msg) {
        ++failures;
        continue;
      }
      test.Evaluate(*msg, nullptr);
      if (action.Kind == TActionKind::Judge) {
        std::printf("%s\t%d\t%s\n", FloatToText(static_cast<double>(test.Probability())).c_str(),
                    test.RelevantCount(), file.c_str());
        continue;
      }
      const std::uint8_t category =
          action.Kind == TActionKind::LearnSpam ? Mc_CommercialSpam : Mc_Personal;
      test.UserCategorised(category, test.GetResultCode(msg->GetContentId()));
    }
  }
  std::fflush(stdout);
  spam.reset();
  personal.reset();
  const int unsaved = static_cast<int>(SpamBayesianDictionary()->IsChanged()) +
                      static_cast<int>(PersonalBayesianDictionary()->IsChanged());
  if (SaveChangedBayesianDictionaries() < unsaved) ++failures;
  EndBayesianModule();
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (!ParseOptions(argc, argv, options)) {
    PrintUsage(stderr);
    return 2;
  }
  std::error_code error;
  const std::filesystem::path data = std::filesystem::absolute(options.Data, error);
  if (error || !CreateFolderTree(data.string())) {
    std::fprintf(stderr, "halvorn-classify: cannot use the data folder %s\n",
                 options.Data.c_str());
    return 2;
  }
  ::setenv("HALVORN_HOME", data.c_str(), 1);
  SetLogReceiver(PrintErrorRecords);
  SeedRandomForThisThread(kRandomSeed);
  try {
    return Run(options);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "halvorn-classify: %s\n", failure.what());
    return 1;
  }
}
