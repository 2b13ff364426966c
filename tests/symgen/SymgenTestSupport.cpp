#include "symgen/SymgenTestSupport.h"

#include <msxml.h>
#include <oleauto.h>

#include <stdexcept>

#include "support/TestSupport.h"

namespace {

const CLSID DomDocumentClass = {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID DomDocumentIID = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

const char PropertySetDtd[] =
    "<!ELEMENT propertyset (property|propertyset)*>\r\n"
    "<!ATTLIST propertyset name CDATA #IMPLIED>\r\n"
    "<!ELEMENT property EMPTY>\r\n"
    "<!ATTLIST property name CDATA #REQUIRED value CDATA #IMPLIED>\r\n";

template <typename T>
struct TComPtr {
  T* P = nullptr;
  ~TComPtr() {
    if (P) P->Release();
  }
  T* operator->() const { return P; }
  T** operator&() { return &P; }
};

struct TBstr {
  BSTR B = nullptr;
  ~TBstr() { SysFreeString(B); }
  std::wstring Text() const { return B ? std::wstring(B, SysStringLen(B)) : std::wstring(); }
};

std::wstring Attribute(IXMLDOMElement* element, const wchar_t* name) {
  VARIANT v;
  VariantInit(&v);
  BSTR n = SysAllocString(name);
  element->getAttribute(n, &v);
  SysFreeString(n);
  std::wstring text = v.vt == VT_BSTR && v.bstrVal ? std::wstring(v.bstrVal, SysStringLen(v.bstrVal)) : L"";
  VariantClear(&v);
  return text;
}

std::wstring Quote(const std::wstring& arg) { return L"\"" + arg + L"\""; }

}  // namespace

std::wstring FixtureDll() { return TestBinDir() + L"zentrelfix.dll"; }

std::wstring ExpectedFixtureDocument() { return TestSourceDir() + L"\\fixtures\\zentrel\\zentrelfix.expected.xml"; }

std::wstring ZentrelExe() { return TestBinDir() + L"zentrel.exe"; }

TZentrelRun RunZentrelExe(const std::vector<std::wstring>& args, const std::wstring& outputPath) {
  TTempDir dir;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  std::wstring outPath = outputPath.empty() ? dir.File(L"out.txt") : outputPath;
  HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                           outputPath.empty() ? CREATE_ALWAYS : OPEN_EXISTING, 0, nullptr);
  HANDLE err = CreateFileW(dir.File(L"err.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
  if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create output files");
  std::wstring cmd = Quote(ZentrelExe());
  for (const std::wstring& a : args) cmd += L" " + Quote(a);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  std::wstring bin = TestBinDir();
  BOOL started = CreateProcessW(ZentrelExe().c_str(), cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                bin.c_str(), &si, &pi);
  CloseHandle(out);
  CloseHandle(err);
  if (!started) throw std::runtime_error("cannot start zentrel.exe");
  TZentrelRun run;
  if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 99);
  GetExitCodeProcess(pi.hProcess, &run.ExitCode);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  if (outputPath.empty()) run.Out = ReadTextFile(outPath);
  run.Err = ReadTextFile(dir.File(L"err.txt"));
  return run;
}

std::vector<std::pair<std::wstring, std::wstring>> ParseSymbolFile(const std::wstring& path) {
  std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
  WriteTextFile(folder + L"propertyset.dtd", PropertySetDtd);
  TComPtr<IXMLDOMDocument> doc;
  if (FAILED(CoCreateInstance(DomDocumentClass, nullptr, CLSCTX_INPROC_SERVER, DomDocumentIID,
                              reinterpret_cast<void**>(&doc))))
    throw std::runtime_error("cannot create the DOM document");
  doc->put_async(VARIANT_FALSE);
  doc->put_validateOnParse(VARIANT_TRUE);
  doc->put_resolveExternals(VARIANT_TRUE);
  VARIANT file;
  VariantInit(&file);
  file.vt = VT_BSTR;
  file.bstrVal = SysAllocString(path.c_str());
  VARIANT_BOOL ok = VARIANT_FALSE;
  doc->load(file, &ok);
  VariantClear(&file);
  if (ok != VARIANT_TRUE) throw std::runtime_error("the symbol file does not parse");
  TComPtr<IXMLDOMElement> root;
  doc->get_documentElement(&root);
  if (!root.P || Attribute(root.P, L"name") != L"calderwisp:symbols")
    throw std::runtime_error("the symbol file has another root");
  std::vector<std::pair<std::wstring, std::wstring>> procs;
  TComPtr<IXMLDOMNode> child;
  root->get_firstChild(&child);
  while (child.P) {
    TComPtr<IXMLDOMElement> set;
    child->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(&set));
    if (set.P && Attribute(set.P, L"name") == L"proc") {
      std::pair<std::wstring, std::wstring> proc;
      TComPtr<IXMLDOMNode> prop;
      set->get_firstChild(&prop);
      while (prop.P) {
        TComPtr<IXMLDOMElement> element;
        prop->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(&element));
        if (element.P) {
          std::wstring name = Attribute(element.P, L"name");
          if (name == L"Title") proc.first = Attribute(element.P, L"value");
          if (name == L"URL") proc.second = Attribute(element.P, L"value");
        }
        IXMLDOMNode* next = nullptr;
        prop->get_nextSibling(&next);
        prop.P->Release();
        prop.P = next;
      }
      procs.push_back(proc);
    }
    IXMLDOMNode* next = nullptr;
    child->get_nextSibling(&next);
    child.P->Release();
    child.P = next;
  }
  return procs;
}

uint32_t GetDword(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes.at(offset + i));
  return v;
}

void PutDword(std::string& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<char>(value >> (8 * i));
}

void PutWord(std::string& bytes, size_t offset, uint16_t value) {
  for (int i = 0; i < 2; ++i) bytes.at(offset + i) = static_cast<char>(value >> (8 * i));
}

std::pair<size_t, size_t> ExportDirectoryOffset(const std::wstring& dll) {
  std::string bytes = ReadTextFile(dll);
  size_t nt = GetDword(bytes, 0x3C);
  size_t sections = static_cast<uint8_t>(bytes.at(nt + 6)) | static_cast<uint8_t>(bytes.at(nt + 7)) << 8;
  size_t optionalSize = static_cast<uint8_t>(bytes.at(nt + 20)) | static_cast<uint8_t>(bytes.at(nt + 21)) << 8;
  uint32_t rva = GetDword(bytes, nt + 24 + 96);  // first data directory of a PE32 optional header
  uint32_t size = GetDword(bytes, nt + 24 + 100);
  size_t table = nt + 24 + optionalSize;
  for (size_t i = 0; i < sections; ++i) {
    size_t header = table + i * 40;
    uint32_t va = GetDword(bytes, header + 12), rawSize = GetDword(bytes, header + 16);
    uint32_t rawPtr = GetDword(bytes, header + 20);
    if (rva >= va && rva < va + rawSize) return {rva - va + rawPtr, size};
  }
  throw std::runtime_error("no export directory");
}
