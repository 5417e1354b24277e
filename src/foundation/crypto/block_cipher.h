// A small block-cipher component: TCrypto runs a block function over a byte
// area, a string or a file in ECB, CBC or CFB mode; TBlowFish supplies
// Blowfish (64-bit blocks, 16 rounds).
//
// The settings file enciphers its 248-byte blocks in ECB mode from byte
// areas, with a key text too long for the key schedule, so that the cipher
// runs on Blowfish's initial tables alone:
//
//   TBlowFish cipher;
//   cipher.SetKey(longKey);                  // fewer than 8 or more than 65
//   cipher.SetInputType(SourceByteArray);    // characters: no key schedule
//   cipher.SetCipherMode(ECBMode);
//   cipher.SetInputBuffer(in, 248);
//   cipher.SetOutputBuffer(out, 248);
//   cipher.SetInputLength(248);
//   cipher.EncipherData(false);              // or DecipherData(false)
//
// One object per use; an object is not safe to share between threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace halvorn {

// Where the input comes from.
enum TSourceType : std::uint8_t { SourceFile = 0, SourceByteArray = 1, SourceString = 2 };

// How blocks are chained.
enum TCipherMode : std::uint8_t { ECBMode = 0, CBCMode = 1, CFBMode = 2 };

// Raised for a file that cannot be opened, read or written, and for a request
// the cipher refuses rather than overrun memory: an input too long for the
// 16-bit input length, an input or output area smaller than the data, or an
// initial value shorter than one block.
class ECryptoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Blowfish's initial P-array and S-boxes: the hexadecimal digits of pi after
// the point, in order.
extern const std::array<std::uint32_t, 18> kBlowfishInitialP;
extern const std::array<std::array<std::uint32_t, 256>, 4> kBlowfishInitialS;

class TCrypto {
 public:
  virtual ~TCrypto();
  TCrypto(const TCrypto&) = delete;
  TCrypto& operator=(const TCrypto&) = delete;

  // The key text. The old key's characters are overwritten before it goes.
  void SetKey(const std::string& key);

  void SetInputType(TSourceType type) { FInputType = type; }
  TSourceType InputType() const { return FInputType; }
  void SetCipherMode(TCipherMode mode) { FCipherMode = mode; }
  TCipherMode CipherMode() const { return FCipherMode; }

  // Files for SourceFile.
  void SetInputFilePath(const std::string& path) { FInputFilePath = path; }
  const std::string& InputFilePath() const { return FInputFilePath; }
  void SetOutputFilePath(const std::string& path) { FOutputFilePath = path; }
  const std::string& OutputFilePath() const { return FOutputFilePath; }

  // Input for SourceString.
  void SetInputString(const std::string& text) { FInputString = text; }
  const std::string& InputString() const { return FInputString; }

  // The number of input bytes for SourceByteArray. The object sets it for the
  // other kinds, and after ECB and CBC it has grown by the padding to a
  // multiple of BlockSize.
  void SetInputLength(std::uint16_t length) { FInputLength = length; }
  std::uint16_t InputLength() const { return FInputLength; }

  // The initial value of the chaining register for CBC and CFB; at least
  // BlockSize characters. When empty, the first run fills it with BlockSize
  // random printable characters ("!" to "}"), which later runs use again.
  void SetIVector(const std::string& value) { FIVector = value; }
  const std::string& IVector() const { return FIVector; }

  // The caller's areas for SourceByteArray (input) and for SourceByteArray
  // and SourceString (output), with their sizes. The object keeps the
  // addresses; the areas must stay valid while it runs. The output area must
  // hold InputLength rounded up to a multiple of BlockSize.
  void SetInputBuffer(const void* data, std::size_t size);
  void SetOutputBuffer(void* data, std::size_t capacity);

  std::uint8_t BlockSize() const { return FBlockSize; }

  // Enciphers the input given by InputType. With `Continue` false the key is
  // set up first and, in CBC and CFB, the chaining register is loaded from
  // IVector; with `Continue` true the previous state carries on. Raises
  // ECryptoError (see above); the output is then incomplete.
  void EncipherData(bool Continue);
  // Deciphers SourceFile and SourceByteArray input; with SourceString it does
  // nothing. Otherwise as EncipherData.
  void DecipherData(bool Continue);

 protected:
  explicit TCrypto(std::uint8_t blockSize);

  // Apply the block function in place to WorkBlock().
  virtual void EncipherBlock() = 0;
  virtual void DecipherBlock() = 0;
  // Prepares the block function from Key(); may clear the key.
  virtual void SetupKey() = 0;
  // Process InputLength bytes of the internal buffer in the current mode
  // into the output.
  virtual void Encipher();
  virtual void Decipher();

  std::uint8_t* WorkBlock() { return FWork.data(); }
  const std::string& Key() const { return FKey; }
  void ClearKey();

 private:
  void Run(bool encipher, bool Continue);
  void Prepare(bool Continue);
  void RunFile(bool encipher);
  // Pads the internal data with zeros to a whole number of blocks.
  void Pad();
  void LoadRegister();

  std::string FKey;
  TSourceType FInputType = SourceFile;
  TCipherMode FCipherMode = ECBMode;
  std::string FInputFilePath;
  std::string FOutputFilePath;
  std::string FInputString;
  std::uint16_t FInputLength = 0;
  std::string FIVector;
  const std::uint8_t* FInputBuffer = nullptr;
  std::size_t FInputBufferSize = 0;
  std::uint8_t* FOutputBuffer = nullptr;
  std::size_t FOutputBufferCapacity = 0;

  std::uint8_t FBlockSize;
  // The data being processed: 4096 bytes, grown for longer inputs.
  std::vector<std::uint8_t> FBuffer;
  // Where Encipher and Decipher write: the caller's area or FBuffer itself.
  std::uint8_t* FOutput = nullptr;
  std::vector<std::uint8_t> FWork;
  std::vector<std::uint8_t> FRegister;  // empty until first loaded
};

class TBlowFish : public TCrypto {
 public:
  // Starts with Blowfish's initial tables, as with an empty key.
  TBlowFish();
  // Overwrites the key's characters and the tables.
  ~TBlowFish() override;

 protected:
  void EncipherBlock() override;
  void DecipherBlock() override;
  // A key of fewer than 8 or more than 65 characters is cleared, giving the
  // cipher of the initial tables alone; other keys run the standard schedule.
  void SetupKey() override;

 private:
  std::uint32_t F(std::uint32_t x) const;
  void EncipherWords(std::uint32_t& left, std::uint32_t& right) const;
  void DecipherWords(std::uint32_t& left, std::uint32_t& right) const;

  std::array<std::uint32_t, 18> FP;
  std::array<std::array<std::uint32_t, 256>, 4> FS;
};

}  // namespace halvorn
