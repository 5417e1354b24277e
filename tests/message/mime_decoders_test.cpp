#include "message/mime_decoders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/text/encoded_words.h"
#include "foundation/text/text_compression.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/quor_thread.h"
#include "platform/main_thread.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

TMIMEDecoderClass Base64() { return DecoderClass<TBase64Decoder>(); }
TMIMEDecoderClass UU() { return DecoderClass<TUUDecoder>(); }
TMIMEDecoderClass QP() { return DecoderClass<TQuotedPrintableDecoder>(); }
TMIMEDecoderClass Default() { return DecoderClass<TDefaultDecoder>(); }
TMIMEDecoderClass SevenBit() { return DecoderClass<T7BitDecoder>(); }

std::string RandomBytes(std::mt19937& rng, std::size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

TStringList ListOf(const std::vector<std::string>& lines) {
  TStringList list;
  for (const auto& line : lines) list.Add(line);
  return list;
}

// ---------------------------------------------------------------------------
// Choosing a decoder

TEST(DecoderForEncoding, NamesIgnoringCaseAndKinds) {
  struct Row {
    const char* name;
    TMIMEDecoderClass expected;
    bool binaryKind;
  } rows[] = {
      {"base64", Base64(), false},
      {"BASE64", Base64(), false},
      {"uuencode", UU(), false},
      {"X-UUEncode", DecoderClass<TXUUDecoder>(), false},
      {"Quoted-Printable", QP(), false},
      {"default", Default(), false},
      {"binary", DecoderClass<TBinaryDecoder>(), true},
      {"7BIT", SevenBit(), true},
      {"8bit", DecoderClass<T8BitDecoder>(), true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(DecoderForEncoding(row.name), row.expected);
    EXPECT_EQ(row.expected->IsBinaryKind(), row.binaryKind);
  }
  EXPECT_EQ(DecoderForEncoding("x-unknown"), nullptr);
  EXPECT_EQ(DecoderForEncoding(" base64"), nullptr);
  EXPECT_EQ(DecoderForEncoding(""), nullptr);
  // The x-uuencode kind is the uuencode codec under its own name.
  EXPECT_EQ(DecoderClass<TXUUDecoder>()->EncodeString("Cat"), "#0V%T");
}

TEST(DefaultDecoder, ChoosesByTheText) {
  struct Row {
    const char* text;
    TMIMEDecoderClass expected;
  } rows[] = {
      {"a=\r\nb\r\n", QP()},
      {"=====\r\nplain\r\n", SevenBit()},  // a line of equals signs
      {"=\r\nx=\r\n", SevenBit()},        // the first occurrence decides
      {"ab==\r\nx=\r\n", SevenBit()},
      {"x\r\n=\r\n", QP()},  // after the first character, even at a line start
      {"a=\nb", SevenBit()},
      {"begin 644 f\r\n#0V%T\r\n`\r\nend\r\n", UU()},
      {"begin 644 f\r\n#0V%T\r\nend", SevenBit()},  // no line end after "end"
      {"plain text\r\n", SevenBit()},
      {"", SevenBit()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::HexOf(row.text));
    EXPECT_EQ(TDefaultDecoder::ChooseDecoder(row.text), row.expected);
  }
}

TEST(DefaultDecoder, DelegatesEveryOperation) {
  TMIMEDecoderClass d = Default();
  // One line never holds "=" CR LF: it is 7bit, kept with a line end.
  EXPECT_EQ(d->DecodeLine("a=3Db="), "a=3Db=\r\n");
  EXPECT_EQ(d->EncodeString("a=b"), "a=b\r\n");
  EXPECT_EQ(d->EncodeString("a=\r\nb"), "a=3D\r\nb");  // chosen quoted-printable

  std::string stream;
  ASSERT_TRUE(d->Decode(TStringList{"caf=E9 =", "au lait"}, stream));
  EXPECT_EQ(stream, "caf\xE9 au lait\r\n");
  stream.clear();
  ASSERT_TRUE(d->Decode(TStringList{"plain", "text"}, stream));
  EXPECT_EQ(stream, "plain\r\ntext\r\n");

  // Encode chooses by what the target already holds; empty gives 7bit.
  TStringList lines;
  ASSERT_TRUE(d->Encode("a=b\r\nc", lines));
  EXPECT_EQ(lines.ToVector(), (std::vector<std::string>{"a=b", "c"}));
}

// ---------------------------------------------------------------------------
// Base64

TEST(Base64Decoder, DecodeLineReadsOneLineOnItsOwn) {
  struct Row {
    std::string line, bytes;
  } rows[] = {
      {"SGVsbG8=", "Hello"},
      {"S G V s\tb G 8 =", "Hello"},  // blanks and other characters are skipped
      {"SGVsbG8", "Hel"},            // a last partial group is dropped
      {"SGVsbA==", "Hell"},
      {"YQ==", "a"},
      {"YWI=", "ab"},
      {"=WJj", ""},               // padding first: nothing
      {"Y=Jj", "`\x02" "c"},      // padding second counts as 0
      {"Y==j", "`"},              // third padding: one byte
      {"", ""},
      {"!!!!", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(Base64()->DecodeLine(row.line), row.bytes);
  }
}

// Valid mail cuts its base64 lines anywhere; Decode reads the lines as one
// text, while DecodeLine, applied line by line, would lose the groups that
// span a line end.
TEST(Base64Decoder, DecodeCarriesGroupsAcrossLineEnds) {
  const TStringList fixture{"SGVsbG", "8sIHdvcmx", "kIQ=="};
  std::string stream = "kept ";
  ASSERT_TRUE(Base64()->Decode(fixture, stream));
  EXPECT_EQ(stream, "kept Hello, world!");

  std::string lineByLine;
  for (int i = 0; i < fixture.Count(); ++i) lineByLine += Base64()->DecodeLine(fixture[i]);
  EXPECT_NE(lineByLine.substr(0, 5), "Hello");
}

// Lines of every length from 1 to 90, as Python's base64 reads the same text.
TEST(Base64Decoder, DecodeAgreesWithPythonOnOddLineLengths) {
  std::mt19937 rng(11);
  std::vector<std::string> datas;
  std::vector<TStringList> bodies;
  std::string input;
  for (int k = 0; k < 60; ++k) {
    const std::string data = RandomBytes(rng, rng() % 400);
    const std::string encoded = Base64Encode(data);
    TStringList body;
    for (std::size_t pos = 0; pos < encoded.size();) {
      const std::size_t n = 1 + rng() % 90;
      body.Add(encoded.substr(pos, n));
      pos += n;
    }
    datas.push_back(data);
    bodies.push_back(body);
    input += test::HexOf(body.Text()) + "\n";
  }
  const auto py = test::RunPython(R"(
import base64, sys
for line in sys.stdin:
    print(base64.b64decode(bytes.fromhex(line.strip())).hex())
)",
                                  input);
  ASSERT_EQ(py.ExitCode, 0);
  const auto answers = test::OutputLines(py.Output);
  ASSERT_EQ(answers.size(), bodies.size());
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    SCOPED_TRACE(i);
    std::string ours;
    ASSERT_TRUE(Base64()->Decode(bodies[i], ours));
    EXPECT_EQ(test::HexOf(ours), answers[i]);
    EXPECT_EQ(ours, datas[i]);
  }
}

// Our lines are coreutils' "base64 -w 60" lines, except for an empty stream:
// coreutils writes nothing, we one empty line.
TEST(Base64Decoder, EncodeWritesTheLinesOfCoreutils) {
  std::mt19937 rng(3);
  test::TempFolder folder;
  std::vector<std::string> datas;
  std::vector<std::string> args = {"sh", "-c",
                                   "for f in \"$@\"; do base64 -w 60 \"$f\"; echo .; done", "sh"};
  for (std::size_t n : {1, 2, 3, 44, 45, 46, 59, 60, 61, 89, 90, 91, 1000, 4096}) {
    datas.push_back(RandomBytes(rng, n));
    const std::string path = folder.Sub("d" + std::to_string(datas.size()));
    ASSERT_TRUE(test::WriteFileBytes(path, datas.back()));
    args.push_back(path);
  }
  const auto coreutils = test::RunCommand(args);
  ASSERT_EQ(coreutils.ExitCode, 0);
  std::vector<std::vector<std::string>> expected(1);
  for (const std::string& line : test::OutputLines(coreutils.Output)) {
    if (line == ".") {
      expected.emplace_back();
    } else {
      expected.back().push_back(line);
    }
  }
  expected.pop_back();
  ASSERT_EQ(expected.size(), datas.size());
  for (std::size_t i = 0; i < datas.size(); ++i) {
    SCOPED_TRACE(datas[i].size());
    TStringList lines{"before"};
    ASSERT_TRUE(Base64()->Encode(datas[i], lines));
    std::vector<std::string> ours = lines.ToVector();
    ASSERT_EQ(ours.front(), "before");
    ours.erase(ours.begin());
    EXPECT_EQ(ours, expected[i]);
    std::string back;
    ASSERT_TRUE(Base64()->Decode(ListOf(ours), back));
    EXPECT_EQ(back, datas[i]);
  }
  TStringList empty;
  ASSERT_TRUE(Base64()->Encode("", empty));
  EXPECT_EQ(empty.ToVector(), (std::vector<std::string>{""}));
  EXPECT_EQ(Base64()->EncodeString("Hello"), "SGVsbG8=");
}

// ---------------------------------------------------------------------------
// UU

// Each 45-byte piece gives the line Python's binascii writes in backtick
// mode; a last short piece gives a short line, an empty stream one "`" line.
TEST(UUDecoder, EncodeWritesPythonsLinesPerPiece) {
  std::mt19937 rng(5);
  std::vector<std::string> datas;
  std::string input;
  for (std::size_t n : {0, 1, 44, 45, 46, 90, 91, 200}) {
    datas.push_back(RandomBytes(rng, n));
    input += test::HexOf(datas.back()) + "\n";
  }
  const auto py = test::RunPython(R"(
import binascii, sys
for line in sys.stdin:
    data = bytes.fromhex(line.strip())
    pieces = [data[i:i + 45] for i in range(0, len(data), 45)] or [b'']
    print(' '.join(binascii.b2a_uu(p, backtick=True).rstrip(b'\n').hex() for p in pieces))
)",
                                  input);
  ASSERT_EQ(py.ExitCode, 0);
  const auto answers = test::OutputLines(py.Output);
  ASSERT_EQ(answers.size(), datas.size());
  for (std::size_t i = 0; i < datas.size(); ++i) {
    SCOPED_TRACE(datas[i].size());
    TStringList lines;
    ASSERT_TRUE(UU()->Encode(datas[i], lines));
    std::vector<std::string> hexes;
    for (const auto& line : lines.ToVector()) hexes.push_back(test::HexOf(line));
    std::istringstream fields(answers[i]);
    std::vector<std::string> expected;
    for (std::string f; fields >> f;) expected.push_back(f);
    EXPECT_EQ(hexes, expected);
    std::string back;
    ASSERT_TRUE(UU()->Decode(lines, back));
    EXPECT_EQ(back, datas[i]);
  }
  TStringList two;
  ASSERT_TRUE(UU()->Encode(std::string(46, 'x'), two));
  ASSERT_EQ(two.Count(), 2);
  EXPECT_EQ(UU()->DecodeLine(two[1]), "x");
}

// A body with its "begin" line is no run of UU lines: the decoding fails as
// a whole and the stream keeps what it held.
TEST(UUDecoder, ALineThatIsNoUULineFailsTheDecoding) {
  std::string stream = "kept";
  EXPECT_FALSE(UU()->Decode(TStringList{"begin 644 cat.txt", "#0V%T", "`", "end"}, stream));
  EXPECT_EQ(stream, "kept");
  EXPECT_THROW(UU()->DecodeLine("begin 644 cat.txt"), std::runtime_error);
  EXPECT_THROW(UU()->EncodeString(std::string(46, 'x')), std::runtime_error);
}

// ---------------------------------------------------------------------------
// Quoted-printable

TEST(QuotedPrintableDecoder, EncodeStringTable) {
  const std::string seventyOne(71, 'a');
  struct Row {
    std::string text, encoded;
  } rows[] = {
      {"plain text", "plain text"},
      {"a=b\tc\xE9", "a=3Db=09c=E9"},
      {"ends in a space ", "ends in a space=20"},
      {"ends in a tab\t", "ends in a tab=09"},
      {"two\r\nlines ", "two\r\nlines=20"},
      {"lone\rcr", "lone=0Dcr"},
      // The count passes 71 at the 72nd character: a soft break follows,
      // also at the end of the line (a space before it needs no escape).
      {seventyOne + "bc", seventyOne + "b=\r\nc"},
      {seventyOne + "b", seventyOne + "b=\r\n"},
      {seventyOne + "b\r\nx", seventyOne + "b=\r\n\r\nx"},
      {seventyOne + " ", seventyOne + " =\r\n"},
      {std::string(70, 'a') + " ", std::string(70, 'a') + "=20"},
      {seventyOne + " x", seventyOne + " =\r\nx"},
      {std::string(70, 'a') + "\xFF" + "z", std::string(70, 'a') + "=FF=\r\nz"},
      {"", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::HexOf(row.text));
    EXPECT_EQ(QP()->EncodeString(row.text), row.encoded);
  }
}

TEST(QuotedPrintableDecoder, DecodeTable) {
  struct Row {
    std::vector<std::string> lines;
    std::string decoded;
  } rows[] = {
      {{"caf=E9 au lait"}, "caf\xE9 au lait\r\n"},
      {{"caf=e9"}, "caf\xE9\r\n"},  // lower-case digits read too
      {{"soft=", "break"}, "softbreak\r\n"},
      {{"soft= \t", "break"}, "softbreak\r\n"},  // blanks a transport added
      {{"a=G1", "=4", "="}, "a=G1\r\n=4\r\n"},   // no escape: kept
      {{"= x"}, "= x\r\n"},
      {{"trailing  "}, "trailing  \r\n"},
      {{}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.decoded);
    std::string stream;
    ASSERT_TRUE(QP()->Decode(ListOf(row.lines), stream));
    EXPECT_EQ(stream, row.decoded);
  }
  EXPECT_EQ(QP()->DecodeLine("a=3Db="), "a=b");
}

// Encoded lines decode back to the text with Python's quopri, none longer
// than 76 characters. The encoders differ (Python breaks at 76), so the
// comparison is by round trip.
TEST(QuotedPrintableDecoder, EncodeRoundTripsThroughPythonsQuopri) {
  std::mt19937 rng(17);
  const std::string pool = std::string("abc xyz=\t.?_-") + "\xE9\xFF\x01";
  std::vector<TStringList> sources;
  std::vector<TStringList> encodeds;
  std::string input;
  for (int k = 0; k < 80; ++k) {
    TStringList source;
    const int lineCount = 1 + static_cast<int>(rng() % 6);
    for (int l = 0; l < lineCount; ++l) {
      std::size_t n = rng() % 4 == 0 ? 70 + rng() % 8 : rng() % 300;
      std::string line(n, ' ');
      for (char& c : line) c = pool[rng() % pool.size()];
      source.Add(line);
    }
    TStringList encoded;
    ASSERT_TRUE(QP()->Encode(source.Text(), encoded));
    for (int l = 0; l < encoded.Count(); ++l) {
      EXPECT_LE(encoded[l].size(), 76u) << encoded[l];
      EXPECT_EQ(encoded[l].find_first_of("\r\n"), std::string::npos);
    }
    input += test::HexOf(encoded.Text()) + "\n";
    sources.push_back(source);
    encodeds.push_back(encoded);
  }
  const auto py = test::RunPython(R"(
import quopri, sys
for line in sys.stdin:
    print(quopri.decodestring(bytes.fromhex(line.strip())).hex())
)",
                                  input);
  ASSERT_EQ(py.ExitCode, 0);
  const auto answers = test::OutputLines(py.Output);
  ASSERT_EQ(answers.size(), sources.size());
  for (std::size_t i = 0; i < sources.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(answers[i], test::HexOf(sources[i].Text()));
    std::string ours;
    ASSERT_TRUE(QP()->Decode(encodeds[i], ours));
    EXPECT_EQ(ours, sources[i].Text());
  }
}

// ---------------------------------------------------------------------------
// Binary kind

TEST(BinaryDecoder, LinesStayAsTheyAre) {
  for (TMIMEDecoderClass d : {DecoderClass<TBinaryDecoder>(), SevenBit(), DecoderClass<T8BitDecoder>()}) {
    SCOPED_TRACE(d->EncodingName());
    EXPECT_EQ(d->DecodeLine("a=3D"), "a=3D\r\n");
    EXPECT_EQ(d->EncodeString("x"), "x\r\n");
    std::string stream = "0";
    ASSERT_TRUE(d->Decode(TStringList{"a", "", "b\xE9"}, stream));
    EXPECT_EQ(stream, "0a\r\n\r\nb\xE9\r\n");
    TStringList lines{"first"};
    ASSERT_TRUE(d->Encode("x\r\ny\nz", lines));
    EXPECT_EQ(lines.ToVector(), (std::vector<std::string>{"first", "x", "y", "z"}));
  }
}

// ---------------------------------------------------------------------------
// Lines in place

TEST(LinesInPlace, DecodeAndEncode) {
  TStringList lines{"SGVsbG8s", "IHdvcmxk", "IQ=="};
  ASSERT_TRUE(DecodeLinesInPlace(Base64(), lines));
  EXPECT_EQ(lines.ToVector(), (std::vector<std::string>{"Hello, world!"}));

  TStringList decoded;
  ASSERT_TRUE(DecodeLinesTo(QP(), TStringList{"a=", "b", "c=0D=0Ad"}, decoded));
  EXPECT_EQ(decoded.ToVector(), (std::vector<std::string>{"ab", "c", "d"}));

  // Binary kinds copy and leave as they are.
  TStringList binary{"a=3D", "b"};
  ASSERT_TRUE(DecodeLinesTo(SevenBit(), binary, decoded));
  EXPECT_EQ(decoded, binary);
  ASSERT_TRUE(EncodeLinesInPlace(SevenBit(), binary));
  EXPECT_EQ(binary.ToVector(), (std::vector<std::string>{"a=3D", "b"}));

  // A part with children written back as base64: 60-character lines.
  TStringList body;
  for (int i = 0; i < 10; ++i) body.Add("line " + std::to_string(i) + " of the attached message");
  const TStringList original = body;
  ASSERT_TRUE(EncodeLinesInPlace(Base64(), body));
  EXPECT_EQ(body[0].size(), 60u);
  ASSERT_TRUE(DecodeLinesInPlace(Base64(), body));
  EXPECT_EQ(body, original);

  // No decoder counts as the default one.
  TStringList none{"x=", "y"};
  ASSERT_TRUE(DecodeLinesInPlace(nullptr, none));
  EXPECT_EQ(none.ToVector(), (std::vector<std::string>{"xy"}));
}

TEST(LinesInPlace, AFailedDecodingLeavesTheLines) {
  TStringList lines{"begin 644 cat.txt", "#0V%T", "end"};
  const TStringList original = lines;
  EXPECT_FALSE(DecodeLinesInPlace(UU(), lines));
  EXPECT_EQ(lines, original);
  TStringList out{"untouched"};
  EXPECT_FALSE(DecodeLinesTo(UU(), lines, out));
  EXPECT_EQ(out.ToVector(), (std::vector<std::string>{"untouched"}));
}

// ---------------------------------------------------------------------------
// Codecs on worker threads

// Runs the work on a registered worker once the test lets it go.
class TCodecWorker : public TQuorThread {
 public:
  struct Shared {
    std::function<void()> Work;
    std::atomic<bool> Started{false};
    std::atomic<bool> Go{false};
    std::atomic<bool> Done{false};
    std::atomic<bool> SawAbandoned{false};
  };
  explicit TCodecWorker(std::shared_ptr<Shared> shared) : FShared(std::move(shared)) {}

 protected:
  void Execute() override {
    FShared->Started = true;
    while (!FShared->Go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    try {
      FShared->Work();
    } catch (const EThreadAbandoned&) {
      FShared->SawAbandoned = true;
      FShared->Done = true;
      throw;
    }
    FShared->Done = true;
  }

 private:
  std::shared_ptr<Shared> FShared;
};

class CodecOnWorker : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MarkMainThread();
    ShuttingDown = false;
    InitializeThreadList();
  }
  void TearDown() override { ShuttingDown = false; }
};

// A worker told to stop still gets whole results: a codec that stopped with
// "true" and no output would have its caller save an emptied body.
TEST_F(CodecOnWorker, AStopRequestDoesNotCutTheWorkShort) {
  auto shared = std::make_shared<TCodecWorker::Shared>();
  TStringList encoded, decoded, qp{"a=b"};
  bool ok[3] = {false, false, false};
  const std::string data(1000, 'q');
  shared->Work = [&] {
    ok[0] = Base64()->Encode(data, encoded);
    ok[1] = DecodeLinesTo(Base64(), encoded, decoded);
    ok[2] = EncodeLinesInPlace(QP(), qp);
  };
  auto* worker = CreateQuorThread<TCodecWorker>(false, shared);
  TThreadHandle handle = worker->Handle();
  ASSERT_TRUE(test::Eventually([&] { return shared->Started.load(); }));
  worker->Terminate();
  shared->Go = true;
  ASSERT_TRUE(test::Eventually([&] { return shared->Done.load(); }));
  FreeThreadByHandle(handle);
  EXPECT_TRUE(ok[0] && ok[1] && ok[2]);
  EXPECT_EQ(encoded.Count(), 23);
  EXPECT_EQ(decoded.ToVector(), (std::vector<std::string>{data}));
  EXPECT_EQ(qp.ToVector(), (std::vector<std::string>{"a=3Db"}));
}

// An abandoned worker unwinds through the codecs, and the lines it was
// working on are as they were, never emptied.
TEST_F(CodecOnWorker, AnAbandonedWorkerUnwindsAndKeepsItsLines) {
  auto shared = std::make_shared<TCodecWorker::Shared>();
  auto lines = std::make_shared<TStringList>(TStringList{"SGVsbG8=", "x"});
  auto parts = std::make_shared<TStringList>(TStringList{"a", "b"});
  shared->Work = [lines, parts] {
    try {
      DecodeLinesInPlace(DecoderClass<TBase64Decoder>(), *lines);
    } catch (const EThreadAbandoned&) {
      EncodeLinesInPlace(DecoderClass<TBase64Decoder>(), *parts);  // raises again
    }
  };
  auto* worker = CreateQuorThread<TCodecWorker>(false, shared);
  TThreadHandle handle = worker->Handle();
  ASSERT_TRUE(test::Eventually([&] { return shared->Started.load(); }));
  ASSERT_TRUE(KillThread(worker));
  shared->Go = true;
  ASSERT_TRUE(test::Eventually([&] { return !ThreadHandleAlive(handle); }));
  EXPECT_TRUE(shared->SawAbandoned);
  EXPECT_EQ(lines->ToVector(), (std::vector<std::string>{"SGVsbG8=", "x"}));
  EXPECT_EQ(parts->ToVector(), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace halvorn
