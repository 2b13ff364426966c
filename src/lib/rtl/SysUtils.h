// Run-time basics every unit relies on: the exception family with a wide message,
// assertions that name their unit, and printf-style wide formatting.
#pragma once
#include <exception>
#include <string>
#include <cstdarg>
#include <cstdint>
#include <initializer_list>

// Root of the polymorphic objects that owning lists free.
class TObject {
public:
  virtual ~TObject() = default;
};

// Base of every exception the system raises. The message is wide and may grow
// lines on its way up; what() gives it as UTF-8.
class Exception : public std::exception {
public:
  explicit Exception(std::wstring message = std::wstring());
  ~Exception() override;
  const std::wstring& Message() const { return FMessage; }
  void SetMessage(std::wstring message);
  const char* what() const noexcept override;
  // Class name as reports show it.
  virtual const wchar_t* ClassName() const { return L"Exception"; }
  // A heap copy of the most derived exception, for handing it to another thread.
  virtual Exception* Clone() const { return new Exception(*this); }
  [[noreturn]] virtual void Rethrow() const { throw *this; }

protected:
  std::wstring FMessage;
  mutable std::string FWhat;
};

// Declares an exception class whose constructors are its base's.
#define CW_DECLARE_EXCEPTION(Name, Base)                                     \
  class Name : public Base {                                                 \
  public:                                                                    \
    using Base::Base;                                                        \
    const wchar_t* ClassName() const override { return L## #Name; }          \
    Exception* Clone() const override { return new Name(*this); }           \
    [[noreturn]] void Rethrow() const override { throw *this; }              \
  }

// Silent exception: ends an operation, never shown to the user.
CW_DECLARE_EXCEPTION(EAbort, Exception);
CW_DECLARE_EXCEPTION(EConvertError, Exception);
CW_DECLARE_EXCEPTION(EListError, Exception);
CW_DECLARE_EXCEPTION(EAssertionFailed, Exception);
CW_DECLARE_EXCEPTION(EStreamError, Exception);
CW_DECLARE_EXCEPTION(EFCreateError, EStreamError);
CW_DECLARE_EXCEPTION(EFOpenError, EStreamError);
CW_DECLARE_EXCEPTION(EReadError, EStreamError);
CW_DECLARE_EXCEPTION(EWriteError, EStreamError);

// Input/output failure with the run-time's error code.
class EInOutError : public Exception {
public:
  EInOutError(std::wstring message, int errorCode)
      : Exception(std::move(message)), ErrorCode(errorCode) {}
  const wchar_t* ClassName() const override { return L"EInOutError"; }
  Exception* Clone() const override { return new EInOutError(*this); }
  [[noreturn]] void Rethrow() const override { throw *this; }
  int ErrorCode;
};

// Operating-system error with its last-error code.
class EOSError : public Exception {
public:
  EOSError(std::wstring message, uint32_t errorCode)
      : Exception(std::move(message)), ErrorCode(errorCode) {}
  const wchar_t* ClassName() const override { return L"EOSError"; }
  Exception* Clone() const override { return new EOSError(*this); }
  [[noreturn]] void Rethrow() const override { throw *this; }
  uint32_t ErrorCode;
};

// Raises EAssertionFailed "Assertion failure (<unit>, line <n>)".
[[noreturn]] void AssertionFailed(const wchar_t* unitPath, int line);
#define CW_ASSERT(cond, unitPath, line) \
  do { if (!(cond)) AssertionFailed(unitPath, line); } while (0)

// printf-style formatting into a wide string (use %ls for wide and %hs for narrow strings;
// %X for the upper-case hexadecimal the messages show).
std::wstring WideFormat(const wchar_t* format, ...);
std::wstring WideFormatV(const wchar_t* format, va_list args);

// One argument of Format: a 32-bit integer or a wide text.
struct TFormatArg {
  enum class TKind : char { Integer = 'd', Text = 's' };
  TFormatArg(int value) : Kind(TKind::Integer), Integer(value) {}
  TFormatArg(std::wstring value) : Kind(TKind::Text), Text(std::move(value)) {}
  TFormatArg(const wchar_t* value) : Kind(TKind::Text), Text(value) {}
  TKind Kind;
  int Integer = 0;
  std::wstring Text;
};

// The kinds the conversions of a printf-style text read, in order: 'd' an integer (d i u x X o
// c), 's' a text (s, ls); '?' for anything else (%n, floating point, a length other than "l",
// "*", a "%" that ends the text, a width or precision above 256). "%%" reads nothing. Texts
// that format the same arguments give the same kinds.
std::string FormatConversions(const std::wstring& format);

// printf-style formatting that reads every argument as the kind it is: a conversion of another
// kind (or '?' above), one without an argument or an argument left over raises EConvertError
// naming the format. Used for texts that come from outside the program (translations).
std::wstring Format(const std::wstring& format, std::initializer_list<TFormatArg> args);

// UTF-16 <-> UTF-8 without failure: unpaired surrogates become U+FFFD, and so does each byte
// that is not part of a well-formed UTF-8 character (overlong forms, encoded surrogates, code
// points beyond U+10FFFF and cut sequences included).
std::string WideToUtf8(const std::wstring& s);
std::wstring Utf8ToWide(const std::string& s);
