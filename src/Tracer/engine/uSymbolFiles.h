// Symbol files: the XML files of "symbols\" beside the program that say what to trace. Each
// lists functions ("proc"), plug-ins to load while it is loaded ("plugin") and other symbol
// files it must not be loaded with ("conflict"). The user's Active and Visible choices live
// in a per-user override copy of each file, written at unload and applied at the next load.
#pragma once
#include <windows.h>
#include <msxml2.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/com/uInterfaceList.h"
#include "Tracer/engine/uSystemObjects.h"
#include "Tracer/foundation/uClasses.h"
#include "Tracer/foundation/uCollections.h"
#include "Tracer/foundation/uXMLFiler.h"

class TSymbolFile;
class TSymbolFiles;

// The plug-in host as symbol files see it. The application layer installs it; without one a
// "plugin" entry fails.
class TSymbolFilePluginHost {
public:
  // Loads (or reuses) and connects the plug-in; raises "Error loading plugin <id>" + cause.
  virtual void LoadPlugin(const std::wstring& ClassIdText, TComPtr<IAppPlugin>& Plugin) = 0;
  // Drops the host's reference of one load.
  virtual void UnloadPlugin(IAppPlugin* Plugin) = 0;

protected:
  ~TSymbolFilePluginHost() = default;
};

// nullptr: none. Answers the host it replaced.
TSymbolFilePluginHost* SetSymbolFilePluginHost(TSymbolFilePluginHost* Host);
TSymbolFilePluginHost* GetSymbolFilePluginHost();

// The plug-ins one file loaded, in document order; freeing the list hands them back to the
// host, the last loaded first.
class TFilePlugins : public TObject {
public:
  TFilePlugins() = default;
  ~TFilePlugins() override;
  void Add(IAppPlugin* Plugin) { FItems.Add(Plugin); }
  int Count() const { return FItems.Count(); }
  TComPtr<IAppPlugin> Get(int Index) const { return FItems.Get(Index); }

private:
  TInterfaceList<IAppPlugin> FItems;
};

// One loader per kind of entry, each made for one load.
class TSymbolFilePluginLoader : public TUnknownObject, public IXMLNodeLoader {
public:
  explicit TSymbolFilePluginLoader(TSymbolFile* File) : FFile(File) {}
  void LoadFromNode(IXMLDOMNode* Node) override;

private:
  TSymbolFile* FFile;
};

class TSymbolFileProcLoader : public TUnknownObject, public IXMLNodeLoader {
public:
  explicit TSymbolFileProcLoader(TSymbolFile* File) : FFile(File) {}
  void LoadFromNode(IXMLDOMNode* Node) override;
  // True while the override copy is read: it changes functions, never adds one.
  bool UpdateOnly = false;

private:
  TSymbolFile* FFile;
};

class TSymbolFilesConflictLoader : public TUnknownObject, public IXMLNodeLoader {
public:
  explicit TSymbolFilesConflictLoader(TSymbolFiles* Files) : FFiles(Files) {}
  void LoadFromNode(IXMLDOMNode* Node) override;

private:
  TSymbolFiles* FFiles;
};

// Writes the override copy's "proc" sets: "URL", "Active" and "Visible" of each function.
class TSymbolFileLocalSaver : public TObject, public IXMLNodeSaver {
public:
  explicit TSymbolFileLocalSaver(TProcDefs* Procs) : FProcs(Procs) {}
  void SaveToNode(IXMLDOMNode* Node) override;

private:
  TProcDefs* FProcs;
};

class TSymbolFile : public TObject {
public:
  TSymbolFile(TSymbolFiles* Owner, const std::wstring& FileName);
  // Unloads with saving.
  ~TSymbolFile() override;
  TSymbolFile(const TSymbolFile&) = delete;
  TSymbolFile& operator=(const TSymbolFile&) = delete;

  // The main file, then its override copy, under the engine's write lock; then, with the lock
  // let go, the plug-ins the file names (their creation and Connect are foreign code that
  // must not stall the trace). On any failure the file stays unloaded (its plug-ins released)
  // and the error reads "Error loading symbols from \"<path>", then "Error loading <file
  // read>" and one line per failure.
  void Load();
  // Writes the override copy first when SaveLocal and there is a function; then frees the
  // functions and releases the plug-ins. Nothing when not loaded.
  // Both wait for the engine's lock; a Load or Unload asked for meanwhile (from a message the
  // wait let through) does not run inside the first: it is remembered, and the last one asked
  // for is carried out when the first is over.
  void Unload(bool SaveLocal);
  bool IsLoaded() const { return FProcs != nullptr; }
  // Listed in the settings file, but its load from there failed: it stays listed until it
  // loads.
  bool IsKeptListed() const { return FKeptListed; }
  // A Load or Unload is under way.
  bool IsBusy() const { return FBusy; }

  // The file name without folder and extension.
  std::wstring GetName() const;
  const std::wstring& GetFileName() const { return FFileName; }
  // The per-user override copy; empty for a file named like the settings file, which has
  // no override copy.
  std::wstring GetLocalFileName() const;
  TSymbolFiles* GetOwner() const { return FOwner; }
  // nullptr while not loaded.
  TProcDefs* GetProcs() const { return FProcs.get(); }
  TFilePlugins* GetPlugins() const { return FPlugins.get(); }

  // A "plugin" entry read: its plug-in is loaded once the lock is let go.
  void AddPendingPlugin(const std::wstring& ClassId);

private:
  friend class TSymbolFilePluginLoader;
  friend class TSymbolFiles;
  void SaveLocal();
  void DoLoad();
  void DoUnload(bool SaveLocal);
  void LoadPendingPlugins();
  // Runs Step marked busy, then carries out a request that came in meanwhile.
  void WhileBusy(const std::function<void()>& Step);
  void FinishRequests();

  TSymbolFiles* FOwner;
  std::wstring FFileName;
  std::unique_ptr<TProcDefs> FProcs;
  std::unique_ptr<TFilePlugins> FPlugins;
  struct TPendingPlugin {
    std::wstring ClassId;
    std::wstring ReadFrom;  // the file whose entry named it
  };
  std::vector<TPendingPlugin> FPendingPlugins;
  std::wstring FReading;  // the file the filer reads
  bool FBusy = false;
  bool FKeptListed = false;
  // What was asked for while busy; the last request wins.
  enum class TRequest { None, Load, Unload, UnloadAndSave };
  TRequest FRequest = TRequest::None;
};

// Every symbol file of one folder, keyed by full path (owning); found once, never rescanned.
// As the settings file's "symbolfiles" entry it saves the paths of the loaded files and loads
// them again; a listed file that fails to load is reported and stays listed.
class TSymbolFiles : public TQStringBucketList, public IXMLNodeLoader, public IXMLNodeSaver {
public:
  // The program's "symbols\" folder.
  TSymbolFiles();
  // Folder with a trailing backslash. A missing folder, or one without ".xml" files, is an
  // empty registry.
  explicit TSymbolFiles(const std::wstring& Folder);
  ~TSymbolFiles() override;
  using TFactory = TServiceFactory<TSymbolFiles, TSimpleObjectFactory>;

  // Path must be the registered text exactly (letter case counts).
  bool FindFile(const std::wstring& Path, TSymbolFile*& File) const;
  const std::wstring& GetFolder() const { return FFolder; }
  TSymbolFilesConflictLoader* GetConflictLoader() { return &FConflictLoader; }
  // The file being read by Load, which a "conflict" entry never unloads.
  TSymbolFile* GetLoadingFile() const { return FLoadingFile; }

  void LoadFromNode(IXMLDOMNode* Node) override;
  void SaveToNode(IXMLDOMNode* Node) override;

private:
  friend class TSymbolFile;
  void Scan();
  std::wstring FFolder;
  TSymbolFilesConflictLoader FConflictLoader{this};
  TSymbolFile* FLoadingFile = nullptr;
};

using TSymbolFilesEnumerator = TQObjectBucketListEnumerator<TSymbolFile>;

// The registry of the program's symbols folder, made (and the folder scanned) on first use.
TSymbolFiles* GetSymbolFiles();
