#include "Tracer/foundation/uHolders.h"

#include <new>

#include "lib/dgn/windows/DgnWin32.h"

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

TSafeArray& TSafeArray::operator=(TSafeArray&& other) noexcept {
  if (this != &other) Reset(std::exchange(other.FArray, nullptr));
  return *this;
}

TSafeArray TSafeArray::CreateVector(VARTYPE vt, LONG lowerBound, ULONG count) {
  TSafeArray array(SafeArrayCreateVector(vt, lowerBound, count));
  if (!array) throw std::bad_alloc();
  return array;
}

void TSafeArray::Reset(SAFEARRAY* array) {
  if (SAFEARRAY* old = std::exchange(FArray, array)) SafeArrayDestroy(old);
}

TExcepInfo::~TExcepInfo() {
  SysFreeString(bstrSource);
  SysFreeString(bstrDescription);
  SysFreeString(bstrHelpFile);
}

std::wstring OleErrorText(HRESULT hr) {
  std::wstring text = DgnSysErrorMessage(static_cast<uint32_t>(hr));
  if (text.empty()) text = WideFormat(L"OLE error %.8X", static_cast<unsigned>(hr));
  return text;
}

void OleCheck(HRESULT hr) {
  if (FAILED(hr)) throw EOleSysError(OleErrorText(hr), hr);
}
