#include "Jotwell/BaseException.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "Jotwell/Logger.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace {
std::atomic<MessageTextLookup> g_lookup{nullptr};
thread_local SETranslatorFunction t_translator = nullptr;

// '%' in a text that is about to become part of a printf template.
std::string EscapePercent(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}
}  // namespace

void SetExceptionStringTable(MessageTextLookup lookup) { g_lookup.store(lookup); }

const char* LookupMessageText(int id) {
  const MessageTextLookup lookup = g_lookup.load();
  return lookup ? lookup(id) : nullptr;
}

std::string CBaseException::FormatV(const char* fmt, va_list* args) {
  if (!fmt) return {};
  if (!args) return fmt;
  return platform::formatV(fmt, *args).value_or(fmt);
}

std::string CBaseException::InsertAtPercentOne(std::string templ, const std::string& insert) {
  if (templ.find("%1") == std::string::npos) templ += " %1";
  // The inserted text goes through printf afterwards: its '%' must stay literal.
  const std::string safe = EscapePercent(insert);
  std::string out;
  for (std::size_t i = 0; i < templ.size(); ++i) {
    if (templ[i] == '%' && i + 1 < templ.size() && templ[i + 1] == '1') {
      out += safe;
      ++i;
    } else {
      out += templ[i];
    }
  }
  return out;
}

BOOL CBaseException::GetErrorMessage(char* buffer, UINT max, UINT* helpContext) const {
  if (helpContext) *helpContext = 0;
  if (m_strMessage.empty() || !buffer || max == 0) return FALSE;
  const std::size_t n = std::min<std::size_t>(m_strMessage.size(), max - 1);
  std::memcpy(buffer, m_strMessage.data(), n);
  buffer[n] = '\0';
  return TRUE;
}

int CBaseException::ReportError(UINT type, UINT messageId) const {
  std::string text = m_strMessage;
  if (text.empty()) {
    const char* t = messageId ? LookupMessageText(static_cast<int>(messageId)) : nullptr;
    text = t ? t : kMissingErrorMessageText;
  }
  if (m_bInternal) text = "Internal Error: " + text;
  return platform::ui::messageBox(text, platform::stemOf(platform::executablePath()), type);
}

void CBaseException::SetMessageID(int id, va_list* args) {
  m_nMessageID = id;
  m_bInternal = FALSE;
  LoadMessageText(args);
}

void CBaseException::FormatMessageText(const char* fmt, va_list* args) {
  m_bInternal = TRUE;
  m_strMessage = FormatV(fmt, args);
  LogErrorNoFormat(m_strMessage.c_str());
}

void CBaseException::LoadMessageText(va_list* args) {
  const char* templ = LookupMessageText(m_nMessageID);
  m_strMessage = templ ? FormatV(templ, args) : std::string(kMissingErrorMessageText);
  LogErrorNoFormat(m_strMessage.c_str());
}

// CAPIException

CAPIException::CAPIException(int id, ...) : m_dwError(static_cast<std::uint32_t>(platform::lastError())) {
  va_list args;
  va_start(args, id);
  SetMessageID(id, &args);
  va_end(args);
}

CAPIException::CAPIException(const char* fmt, ...)
    : m_dwError(static_cast<std::uint32_t>(platform::lastError())) {
  va_list args;
  va_start(args, fmt);
  try {
    FormatMessageText(fmt, &args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
}

CAPIException::CAPIException(NoTextTag, std::uint32_t code) : m_dwError(code) {
  m_bInternal = TRUE;
  char buf[64];
  std::snprintf(buf, sizeof buf, "Error Getting API Error String: code = %ld", static_cast<long>(code));
  m_strMessage = buf;
  LogErrorNoFormat(m_strMessage.c_str());
}

void CAPIException::FormatMessageText(const char* fmt, va_list* args) {
  m_bInternal = TRUE;
  const std::string system = platform::systemErrorText(static_cast<int>(m_dwError));
  // Built directly, without asking the system again: no second failure, no recursion.
  if (system.empty()) throw CAPIException(NoTextTag{}, m_dwError);
  m_strMessage = FormatV(InsertAtPercentOne(fmt ? fmt : "", system).c_str(), args);
  LogErrorNoFormat(m_strMessage.c_str());
}

void CAPIException::LoadMessageText(va_list* args) {
  const std::string system = platform::systemErrorText(static_cast<int>(m_dwError));
  const char* templ = LookupMessageText(m_nMessageID);
  if (templ)
    m_strMessage = FormatV(InsertAtPercentOne(templ, system).c_str(), args);
  else
    m_strMessage = std::string(kMissingErrorMessageText) + " " + system;
  LogErrorNoFormat(m_strMessage.c_str());
}

// CExtException

CExtException::CExtException(const CException& cause, int id, ...) : m_pCause(cause.Clone()) {
  va_list args;
  va_start(args, id);
  SetMessageID(id, &args);
  va_end(args);
}

void CExtException::LoadMessageText(va_list* args) {
  char causeText[1024] = "";
  if (m_pCause) m_pCause->GetErrorMessage(causeText, sizeof causeText);
  const char* templ = LookupMessageText(m_nMessageID);
  if (templ)
    m_strMessage = FormatV(InsertAtPercentOne(templ, causeText).c_str(), args);
  else
    m_strMessage = std::string(kMissingErrorMessageText) + " " + causeText;
  LogErrorNoFormat(m_strMessage.c_str());
}

// The rest of the family

CGenException::CGenException(int id, ...) {
  va_list args;
  va_start(args, id);
  SetMessageID(id, &args);
  va_end(args);
}

CInternalException::CInternalException(int id, ...) {
  va_list args;
  va_start(args, id);
  SetMessageID(id, &args);
  va_end(args);
}

CInternalException::CInternalException(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  FormatMessageText(fmt, &args);
  va_end(args);
}

CInvalidParamException::CInvalidParamException(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  FormatMessageText(fmt, &args);
  va_end(args);
}

// Throwing functions: the text is built (and logged) before the throw.

namespace {
// Builds the text of `e` from the caller's arguments, then throws it. Building may itself
// throw (a system code without text); va_end runs on every path.
template <typename E, typename Build>
[[noreturn]] void BuildAndThrow(E e, va_list* args, Build build) {
  build(e, args);
  throw e;
}
}  // namespace

CAPIException::CAPIException(Deferred) : m_dwError(static_cast<std::uint32_t>(platform::lastError())) {}

#define ZEVA_THROW_WITH_ARGS(last, expr) \
  va_list args;                          \
  va_start(args, last);                  \
  try {                                  \
    expr;                                \
  } catch (...) {                        \
    va_end(args);                        \
    throw;                               \
  }

void ThrowAPIExceptionId(int id, ...) {
  ZEVA_THROW_WITH_ARGS(id, BuildAndThrow(CAPIException(CBaseException::Deferred{}), &args,
                                         [id](CAPIException& e, va_list* a) { e.SetMessageID(id, a); }))
}

void ThrowAPIException(const char* fmt, ...) {
  ZEVA_THROW_WITH_ARGS(fmt,
                       BuildAndThrow(CAPIException(CBaseException::Deferred{}), &args,
                                     [fmt](CAPIException& e, va_list* a) { e.FormatMessageText(fmt, a); }))
}

void ThrowExtException(const CException& cause, int id, ...) {
  ZEVA_THROW_WITH_ARGS(id, BuildAndThrow(CExtException(CBaseException::Deferred{}, cause), &args,
                                         [id](CExtException& e, va_list* a) { e.SetMessageID(id, a); }))
}

void ThrowInternalException(const char* fmt, ...) {
  ZEVA_THROW_WITH_ARGS(
      fmt, BuildAndThrow(CInternalException(CBaseException::Deferred{}), &args,
                         [fmt](CInternalException& e, va_list* a) { e.FormatMessageText(fmt, a); }))
}

void ThrowInternalExceptionId(int id, ...) {
  ZEVA_THROW_WITH_ARGS(id, BuildAndThrow(CInternalException(CBaseException::Deferred{}), &args,
                                         [id](CInternalException& e, va_list* a) { e.SetMessageID(id, a); }))
}

void ThrowGenException(int id, ...) {
  ZEVA_THROW_WITH_ARGS(id, BuildAndThrow(CGenException(CBaseException::Deferred{}), &args,
                                         [id](CGenException& e, va_list* a) { e.SetMessageID(id, a); }))
}
#undef ZEVA_THROW_WITH_ARGS

// Structured exceptions

SETranslatorFunction SetSETranslator(SETranslatorFunction f) {
  const SETranslatorFunction previous = t_translator;
  t_translator = f;
  return previous;
}

SETranslatorFunction GetSETranslator() { return t_translator; }

void SETranslator(unsigned int code, EXCEPTION_POINTERS* info) {
  // One translation per installation: a second fault in the thread is not translated
  // until the translator is installed again.
  t_translator = nullptr;
  throw SE_Exception(code, info);
}

std::string SE_Exception::GetMessageText(const char* functionName) const {
  char text[160];
  std::snprintf(text, sizeof text, "Error 0x%X at address 0x%llX in ", static_cast<unsigned>(m_nSE),
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(m_pAddress)));
  return std::string(text) + (functionName ? functionName : "") + "()";
}
