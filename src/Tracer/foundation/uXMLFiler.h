// Property sets: the XML format of the settings file and of symbol files, the routines
// that read and write its nodes, and TXMLFiler, which reads and writes a table of named
// entries (variables, objects, collections) from and to one file.
//
//   <propertyset name="calderwisp:properties">
//   	<property name="time:format" value="1"/>
//   	<propertyset name="recentfiles">
//   		<propertyset name="object">
//   			<property name="FileName" value="c:\x.exe"/>
//   		</propertyset>
//   	</propertyset>
//   </propertyset>
//
// The DOM is MSXML's "DOM Document". Files are written as UTF-8 with CR LF line ends,
// through a temporary file that replaces the target only when it is complete.
#pragma once
#include <windows.h>
#include <msxml2.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "Tracer/foundation/uCollections.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uOleVariant.h"
#include "Tracer/foundation/uPersistent.h"
#include "lib/rtl/SysUtils.h"

// The platform headers give these interfaces no identifiers for __uuidof.
__CRT_UUID_DECL(IXMLDOMNode, 0x2933BF80, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60)
__CRT_UUID_DECL(IXMLDOMDocument, 0x2933BF81, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60)
__CRT_UUID_DECL(IXMLDOMElement, 0x2933BF86, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60)

using TXMLDocument = TComPtr<IXMLDOMDocument>;
using TXMLNode = TComPtr<IXMLDOMNode>;

CW_DECLARE_EXCEPTION(EFilerException, Exception);

// A part of an entry (a collection item, a column) that failed to read, as it was written;
// Position counts the entry's parts before it, failed ones included.
struct TKeptPart {
  int Position;
  TXMLNode Node;
};

// Raised after reading every part of one entry when some failed: one line per failure, and
// the failed parts, which the filer writes back in their places at the next save.
class EPartsNotRead : public Exception {
public:
  EPartsNotRead(std::wstring message, std::vector<TKeptPart> parts)
      : Exception(std::move(message)), Parts(std::move(parts)) {}
  const wchar_t* ClassName() const override { return L"EPartsNotRead"; }
  Exception* Clone() const override { return new EPartsNotRead(*this); }
  [[noreturn]] void Rethrow() const override { throw *this; }
  std::vector<TKeptPart> Parts;
};

// Collects the failures of one entry's parts, so that one bad part costs none of the others.
class TFailedParts {
public:
  void Add(const Exception& e, IXMLDOMNode* node, int position);
  // EPartsNotRead when a part failed.
  void RaiseIfAny();

private:
  std::wstring FMessage;
  std::vector<TKeptPart> FParts;
};

// Objects with a layout of their own in a property set. Found with dynamic_cast.
class IXMLNodeLoader {
public:
  // Reads the object from a property set node.
  virtual void LoadFromNode(IXMLDOMNode* node) = 0;

protected:
  ~IXMLNodeLoader() = default;
};

class IXMLNodeSaver {
public:
  // Writes the object's children into a property set node.
  virtual void SaveToNode(IXMLDOMNode* node) = 0;

protected:
  ~IXMLNodeSaver() = default;
};

enum TSerializedKind : uint8_t {
  skInteger = 0,     // Data: int32_t*
  skWideString = 1,  // Data: std::wstring*
  skBoolean = 2,     // Data: bool*
  skObject = 3,      // Data: TObject*
  skCollection = 4,  // Data: TCollection* (as TObject*)
};

class TSerializedEntry : public TObject {
public:
  TSerializedEntry(void* data, std::wstring name, TSerializedKind kind)
      : Data(data), Name(std::move(name)), Kind(kind) {}
  void* Data;
  std::wstring Name;
  TSerializedKind Kind;

  // Parts that failed at the last read, written back as they were.
  std::vector<TKeptPart> KeptParts;

private:
  friend class TSerializedEntries;
  // The next entry whose name has the same hash, in order of registration.
  std::unique_ptr<TSerializedEntry> FNextSameHash;
};

class TSerializedObjectEntry : public TSerializedEntry {
public:
  TSerializedObjectEntry(TObject* obj, std::wstring name)
      : TSerializedEntry(obj, std::move(name), skObject) {}
  // Properties to write; empty: none given.
  std::vector<std::wstring> PropNames;
};

// Entries keyed by the hash of their name. Names are compared in full, so two names with
// one hash are two entries; a name registered twice raises the list's duplicate error.
class TSerializedEntries : public TQStringBucketList {
public:
  TSerializedEntries() : TQStringBucketList(true) {}
  void AddEntry(TSerializedEntry* entry);
  bool FindEntry(const std::wstring& name, TSerializedEntry*& entry) const;
  // Every entry: the bucket walk's order, entries of one hash in order of registration.
  void ForEachEntry(const std::function<void(TSerializedEntry*)>& fn);
};

class TXMLFiler : public TObject {
public:
  explicit TXMLFiler(std::wstring rootName);
  ~TXMLFiler() override;
  TXMLFiler(const TXMLFiler&) = delete;
  TXMLFiler& operator=(const TXMLFiler&) = delete;

  TSerializedEntry* AddEntry(void* data, const std::wstring& name, TSerializedKind kind);
  void RegisterInteger(int32_t& value, const std::wstring& name);
  void RegisterObject(TObject* obj, const std::wstring& name);
  void RegisterObjectProperties(TObject* obj, const std::wstring& name,
                                const std::vector<std::wstring>& propNames);
  void RegisterCollection(TCollection* collection, const std::wstring& name);

  void LoadFromFile(const std::wstring& fileName);
  void SaveToFile(const std::wstring& fileName);
  // After a LoadFromFile that raised: true when the file read as a whole and only single
  // entries failed (a value that does not convert, an item or node of one entry); false for a
  // file that cannot be parsed, whose root is wrong, or that has a nameless node at the root.
  bool OnlyEntriesFailed() const { return FOnlyEntriesFailed; }
  // After such a failure: true when a failed entry's value will not be saved as it was written
  // (a value that did not convert, an object's property, a loader's format error).
  bool FailedValuesLost() const { return FFailedValuesLost; }

  const std::wstring& RootName() const { return FRootName; }
  TSerializedEntries& Entries() { return FEntries; }

protected:
  virtual void ReadRoot(IXMLDOMNode* root);
  virtual void WriteEntries(IXMLDOMNode* root);
  virtual void WriteEntry(IXMLDOMNode* root, TSerializedEntry* entry);

private:
  std::wstring FRootName;
  TSerializedEntries FEntries;
  bool FOnlyEntriesFailed = false;
  bool FFailedValuesLost = false;
};

// --- Documents -----------------------------------------------------------------------------

// A DOM document whose element is an empty "propertyset", validating on parse and resolving
// external references; loads complete before they return.
void CreatePropertySetDocument(TXMLDocument& doc);
// Parses the file into doc; a failed parse raises RaiseXMLParseError.
void LoadDocumentFile(IXMLDOMDocument* doc, const std::wstring& fileName);
// The document element as a node (nil for a document without one).
TXMLNode DocumentElement(IXMLDOMDocument* doc);
[[noreturn]] void RaiseXMLParseError(IXMLDOMParseError* parseError);
// Indents the document element, then writes doc to fileName (replacing it only when the new
// content is complete).
void SaveDocumentFile(IXMLDOMDocument* doc, const std::wstring& fileName);
void IndentNode(IXMLDOMNode* element, int level);
// CR LF and level TABs.
std::wstring IndentBreak(int level);

// --- Nodes ---------------------------------------------------------------------------------

// The attribute's value, Empty when the element has none; a node without attributes (not
// an element) yields its node name.
void GetNodeAttribute(IXMLDOMNode* node, const std::wstring& name, TOleVariant& value);
// Stored as text: Booleans "True"/"False", Empty and Null "", numbers in a fixed locale.
void SetNodeAttribute(IXMLDOMNode* element, const std::wstring& name, const VARIANT& value);
std::wstring GetNodeName(IXMLDOMNode* node);
bool IsPropertyNode(IXMLDOMNode* node);
bool IsPropertySetNode(IXMLDOMNode* node);
void CheckPropertyNode(IXMLDOMNode* node);
void CheckPropertySetNode(IXMLDOMNode* node);
void ReadPropertyName(IXMLDOMNode* node, std::wstring& name);
void ReadPropertySetName(IXMLDOMNode* node, std::wstring& name);
// varType 0 keeps the attribute's value as it is.
void ReadPropertyValue(IXMLDOMNode* node, VARTYPE varType, TOleVariant& value);
// Stored text converts in a fixed locale, never the user's.
void ConvertVariant(const VARIANT& source, VARTYPE varType, TOleVariant& dest);
void ReadProperty(IXMLDOMNode* node, const std::wstring& name, VARTYPE varType, TOleVariant& value,
                  bool required);
void ExpectPropertyNode(IXMLDOMNode* node, const std::wstring& name);
IXMLDOMNode* ExpectPropertySet(IXMLDOMNode* node, const std::wstring& name);
[[noreturn]] void RaiseUnknownToken(const std::wstring& text);
[[noreturn]] void RaiseNotSpecified(const std::wstring& what);
void WriteProperty(IXMLDOMNode* node, const std::wstring& name, const VARIANT& value);
void WriteIntegerProperty(IXMLDOMNode* node, const std::wstring& name, int32_t value);
void WriteStringProperty(IXMLDOMNode* node, const std::wstring& name, const std::wstring& value);
void AddPropertySet(IXMLDOMNode* node, const std::wstring& name, TXMLNode& child);

// Children in document order, walked by sibling.
TXMLNode FirstChild(IXMLDOMNode* node);
TXMLNode NextSibling(IXMLDOMNode* node);

// --- Objects and collections ---------------------------------------------------------------

// At most 256 names, base class first; an object without a property table is an assertion
// failure.
void GetPublishedPropertyNames(TObject* obj, std::vector<std::wstring>& names);
void FindPublishedMethod(TObject* obj, const std::wstring& methodName, TMethod& method);
void ReadPublishedProperties(IXMLDOMNode* node, TObject* obj);
void LoadObjectFromNode(IXMLDOMNode* node, TObject* obj);
void ReadCollection(IXMLDOMNode* node, TCollection* collection);
void WritePublishedPropertyList(IXMLDOMNode* node, TObject* obj, const std::vector<std::wstring>& propNames);
void SavePublishedProperties(IXMLDOMNode* node, TObject* obj);
void SaveObjectPropertyList(IXMLDOMNode* node, TObject* obj, std::initializer_list<std::wstring> propNames);
void SaveObjectWithPropertyList(IXMLDOMNode* node, TObject* obj, const std::vector<std::wstring>& propNames);
void SaveObjectToNode(IXMLDOMNode* node, TObject* obj);
void WriteCollection(IXMLDOMNode* node, TCollection* collection);
