#include "symgen/SymgenTestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "Tracer/foundation/uXMLFiler.h"
#include "support/TestSupport.h"

namespace {

// Reads each "proc" the way the tracer's symbol-file loader does: by its properties.
class TProcReader : public TObject, public IXMLNodeLoader {
public:
  void LoadFromNode(IXMLDOMNode* node) override {
    TOleVariant title, url;
    ReadProperty(node, L"Title", VT_BSTR, title, false);
    ReadProperty(node, L"URL", VT_BSTR, url, true);
    Procs.emplace_back(title.AsBSTRText(), url.AsBSTRText());
  }
  std::vector<std::pair<std::wstring, std::wstring>> Procs;
};

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
  if (WaitForSingleObject(pi.hProcess, ScaledMs(60000)) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "zentrel.exe did not end within " << ScaledMs(60000) << " ms";
    TerminateProcess(pi.hProcess, 99);
    WaitForSingleObject(pi.hProcess, ScaledMs(5000));
  }
  GetExitCodeProcess(pi.hProcess, &run.ExitCode);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  if (outputPath.empty()) run.Out = ReadTextFile(outPath);
  run.Err = ReadTextFile(dir.File(L"err.txt"));
  return run;
}

std::vector<std::pair<std::wstring, std::wstring>> ParseSymbolFile(const std::wstring& path) {
  std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
  std::wstring dtd = TestSourceDir() + L"\\..\\src\\Tracer\\data\\propertyset.dtd";
  if (!CopyFileW(dtd.c_str(), (folder + L"propertyset.dtd").c_str(), FALSE))
    throw std::runtime_error("cannot copy propertyset.dtd");
  TProcReader reader;
  TXMLFiler filer(L"calderwisp:symbols");
  filer.RegisterObject(&reader, L"proc");
  filer.LoadFromFile(path);
  return reader.Procs;
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
