#include "Tracer/foundation/uHolders.h"

#include <new>

TBStr::TBStr(const std::wstring& s) : FValue(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {
  if (!FValue && !s.empty()) throw std::bad_alloc();
}

TBStr::~TBStr() { SysFreeString(FValue); }

BSTR* TBStr::Put() {
  SysFreeString(std::exchange(FValue, nullptr));
  return &FValue;
}

BSTR TBStr::Detach() { return std::exchange(FValue, nullptr); }

std::wstring TBStr::Str() const { return BStrToWide(FValue); }

std::wstring BStrToWide(BSTR s) { return s ? std::wstring(s, SysStringLen(s)) : std::wstring(); }

std::wstring OleErrorText(HRESULT hr) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer ? buffer : L"", n);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
    text.pop_back();
  if (text.empty()) text = WideFormat(L"OLE error %.8X", static_cast<unsigned>(hr));
  return text;
}

void OleCheck(HRESULT hr) {
  if (FAILED(hr)) throw EOleSysError(OleErrorText(hr), hr);
}
