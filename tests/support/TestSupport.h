// Helpers shared by the test programs.
#pragma once
#include <functional>
#include <string>
#include <vector>

// A fresh folder under the temporary path, removed with its content at destruction.
class TTempDir {
public:
  TTempDir();
  ~TTempDir();
  const std::wstring& Path() const { return FPath; }
  // Path of a file inside the folder.
  std::wstring File(const std::wstring& name) const { return FPath + L"\\" + name; }

private:
  std::wstring FPath;
};

// Folder of the running test program (with a trailing backslash); fixtures are built there.
std::wstring TestBinDir();
// Source folder of the tests, as a Windows path (Wine maps the Unix root to Z:).
std::wstring TestSourceDir();

void WriteTextFile(const std::wstring& path, const std::string& bytes);
// The lines of a text split at CR LF (a message of several lines).
std::vector<std::wstring> SplitLines(const std::wstring& text);
std::string ReadTextFile(const std::wstring& path);

// Called once after all tests ran, before COM is uninitialised (e.g. to free singletons).
void AddTestShutdown(std::function<void()> fn);
void RunTestShutdown();

// A wait of ms milliseconds times the time-scale factor (CW_TEST_TIME_SCALE, at least 1).
unsigned ScaledMs(unsigned ms);
