#pragma once
// The exception family used inside the deliverables. Each message is built from a
// string-table id or a printf format, optionally joined with the system's text for an
// error code or with a causing exception's text, and logged as an ERROR line when built.
//
// Thrown and caught by value (catch by const reference); a cause is shared, so copies
// made while unwinding are cheap and nothing needs deleting.
#include <cstdarg>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

using UINT = unsigned int;
using BOOL = int;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// The text shown for an id that has no string-table text.
inline constexpr const char* kMissingErrorMessageText = "No error message is available.";

// Each deliverable plugs its own string table in; without one every id is "missing".
using MessageTextLookup = const char* (*)(int id);
void SetExceptionStringTable(MessageTextLookup lookup);
// The table text of an id, or nullptr.
const char* LookupMessageText(int id);

class CException : public std::exception {
 public:
  ~CException() override = default;
  virtual BOOL GetErrorMessage(char* buffer, UINT max, UINT* helpContext = nullptr) const = 0;
  virtual std::shared_ptr<CException> Clone() const = 0;
  // Kept for callers written against auto-deleting exceptions; nothing to free here.
  void Delete() {}
};

class CBaseException : public CException {
 public:
  // Constructs without building a text; the caller builds it with SetMessageID or
  // FormatMessageText (used where the arguments arrive as a va_list).
  struct Deferred {};

  CBaseException() = default;

  BOOL GetErrorMessage(char* buffer, UINT max, UINT* helpContext = nullptr) const override;
  // Shows the text in a message box of the given type; returns the box's answer.
  virtual int ReportError(UINT type = 0x10 /* error icon */, UINT messageId = 0) const;
  virtual void SetMessageID(int id, va_list* args);
  virtual void FormatMessageText(const char* fmt, va_list* args);
  virtual void LoadMessageText(va_list* args);
  virtual std::string GetMessageText() const { return m_strMessage; }
  std::shared_ptr<CException> Clone() const override { return std::make_shared<CBaseException>(*this); }

  const char* what() const noexcept override { return m_strMessage.c_str(); }
  int GetMessageID() const { return m_nMessageID; }
  bool IsInternal() const { return m_bInternal != 0; }

 protected:
  // printf of a template, and the "%1" insert of a system or cause text.
  static std::string FormatV(const char* fmt, va_list* args);
  static std::string InsertAtPercentOne(std::string templ, const std::string& insert);

  int m_nMessageID = 0;
  BOOL m_bInternal = TRUE;
  std::string m_strMessage;
};

class CAPIException : public CBaseException {
 public:
  CAPIException(int id, ...);
  explicit CAPIException(Deferred);  // takes the last error now
  // The format may hold "%1" where the system's text goes, so it is not a plain printf format.
  explicit CAPIException(const char* fmt, ...);
  void FormatMessageText(const char* fmt, va_list* args) override;
  void LoadMessageText(va_list* args) override;
  std::shared_ptr<CException> Clone() const override { return std::make_shared<CAPIException>(*this); }
  std::uint32_t GetSystemErrorCode() const { return m_dwError; }

 private:
  struct NoTextTag {};
  CAPIException(NoTextTag, std::uint32_t code);
  std::uint32_t m_dwError = 0;
};

class CExtException : public CBaseException {
 public:
  CExtException(const CException& cause, int id, ...);
  CExtException(Deferred, const CException& cause) : m_pCause(cause.Clone()) {}
  void LoadMessageText(va_list* args) override;
  std::shared_ptr<CException> Clone() const override { return std::make_shared<CExtException>(*this); }
  const CException* GetCause() const { return m_pCause.get(); }

 private:
  std::shared_ptr<CException> m_pCause;
};

class CGenException : public CBaseException {
 public:
  explicit CGenException(int id, ...);
  explicit CGenException(Deferred) {}
  std::shared_ptr<CException> Clone() const override { return std::make_shared<CGenException>(*this); }

 protected:
  CGenException() = default;
};

class CInternalException : public CGenException {
 public:
  explicit CInternalException(int id, ...);
  explicit CInternalException(Deferred) {}
  explicit CInternalException(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  std::shared_ptr<CException> Clone() const override { return std::make_shared<CInternalException>(*this); }
};

class CInvalidParamException : public CBaseException {
 public:
  explicit CInvalidParamException(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  std::shared_ptr<CException> Clone() const override {
    return std::make_shared<CInvalidParamException>(*this);
  }
};

[[noreturn]] void ThrowAPIExceptionId(int id, ...);
[[noreturn]] void ThrowAPIException(const char* fmt, ...);  // "%1": the system's text
[[noreturn]] void ThrowExtException(const CException& cause, int id, ...);
[[noreturn]] void ThrowInternalException(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void ThrowInternalExceptionId(int id, ...);
[[noreturn]] void ThrowGenException(int id, ...);

// Structured (processor or system) exceptions. Linux has no translation of them into C++
// exceptions and signals are never turned into exceptions here: the type and the
// per-thread translator hook exist so that code installing them keeps its shape.
struct EXCEPTION_POINTERS;
class SE_Exception {
 public:
  SE_Exception(std::uint32_t code, void* address) : m_nSE(code), m_pAddress(address) {}
  std::uint32_t getSeNumber() const { return m_nSE; }
  void* getAddress() const { return m_pAddress; }
  // "Error 0x%X at address 0x%X in %s()": the code, the faulting address (all its digits)
  // and the function that caught it.
  std::string GetMessageText(const char* functionName) const;

 private:
  std::uint32_t m_nSE;
  void* m_pAddress;
};

using SETranslatorFunction = void (*)(unsigned int code, EXCEPTION_POINTERS* info);
// Installs a translator for the calling thread; returns the previous one.
SETranslatorFunction SetSETranslator(SETranslatorFunction f);
SETranslatorFunction GetSETranslator();
// The translator: removes itself for the thread, then throws SE_Exception.
void SETranslator(unsigned int code, EXCEPTION_POINTERS* info);
inline void TranslateStructuredException(unsigned int code, EXCEPTION_POINTERS* info) {
  SETranslator(code, info);
}
inline void InstallSETranslator() { SetSETranslator(&SETranslator); }
