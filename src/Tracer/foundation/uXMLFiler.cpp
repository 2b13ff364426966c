#include "Tracer/foundation/uXMLFiler.h"

#include <wininet.h>

#include <new>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "lib/dgn/windows/DgnWin32.h"
#include "lib/rtl/Classes.h"

namespace {

const wchar_t* const UnitPath = L"src/Tracer/uXMLFiler";

const CLSID CLSID_CwDOMDocument = {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// Stored values convert the same way on every machine, whatever the user's settings.
const LCID StoredTextLocale = LOCALE_INVARIANT;

const wchar_t* const SPropertySet = L"propertyset";
const wchar_t* const SProperty = L"property";
const wchar_t* const SName = L"name";
const wchar_t* const SValue = L"value";
const wchar_t* const SObject = L"object";

// A failed DOM call: the system's text for the result, with the call named.
void CheckDOM(HRESULT hr, const wchar_t* call) {
  if (FAILED(hr)) throw EOleSysError(OleErrorText(hr) + L"\r\nat " + call, hr);
}

TComPtr<IXMLDOMElement> AsElement(IXMLDOMNode* node) {
  TComPtr<IXMLDOMElement> element;
  element.QueryFrom(node);
  return element;
}

TComPtr<IXMLDOMDocument> OwnerDocument(IXMLDOMNode* node) {
  TComPtr<IXMLDOMDocument> doc;
  CheckDOM(node->get_ownerDocument(doc.Put()), L"ownerDocument");
  // The document itself has no owner document.
  if (!doc) CheckDOM(doc.QueryFrom(node), L"ownerDocument");
  return doc;
}

TXMLNode AsNode(IUnknown* unk) {
  TXMLNode node;
  CheckDOM(node.QueryFrom(unk), L"QueryInterface");
  return node;
}

TXMLNode CreateElement(IXMLDOMNode* parent, const wchar_t* tag) {
  TComPtr<IXMLDOMElement> element;
  CheckDOM(OwnerDocument(parent)->createElement(TBStr(tag).Get(), element.Put()), L"createElement");
  return AsNode(element.Get());
}

void AppendChild(IXMLDOMNode* parent, IXMLDOMNode* child) {
  TXMLNode added;
  CheckDOM(parent->appendChild(child, added.Put()), L"appendChild");
}

TXMLNode CreateText(IXMLDOMNode* anyNode, const std::wstring& text) {
  TComPtr<IXMLDOMText> node;
  CheckDOM(OwnerDocument(anyNode)->createTextNode(TBStr(text).Get(), node.Put()), L"createTextNode");
  return AsNode(node.Get());
}

bool IsElementNamed(IXMLDOMNode* node, const wchar_t* tag) {
  DOMNodeType type;
  if (!node || FAILED(node->get_nodeType(&type)) || type != NODE_ELEMENT) return false;
  return GetNodeName(node) == tag;
}

bool IsElement(IXMLDOMNode* node) {
  DOMNodeType type;
  return node && SUCCEEDED(node->get_nodeType(&type)) && type == NODE_ELEMENT;
}

// A copy of an element and the elements below it, made in parent's document.
TXMLNode CopyElement(IXMLDOMNode* parent, IXMLDOMNode* source) {
  TXMLNode copy = CreateElement(parent, GetNodeName(source).c_str());
  TComPtr<IXMLDOMNamedNodeMap> attributes;
  CheckDOM(source->get_attributes(attributes.Put()), L"attributes");
  long count = 0;
  if (attributes) CheckDOM(attributes->get_length(&count), L"length");
  for (long i = 0; i < count; ++i) {
    TXMLNode attribute;
    CheckDOM(attributes->get_item(i, attribute.Put()), L"item");
    TOleVariant value;
    CheckDOM(attribute->get_nodeValue(value.Receive()), L"nodeValue");
    SetNodeAttribute(copy.Get(), GetNodeName(attribute.Get()), value);
  }
  for (TXMLNode child = FirstChild(source); child; child = NextSibling(child.Get()))
    if (IsElement(child.Get())) AppendChild(copy.Get(), CopyElement(copy.Get(), child.Get()).Get());
  return copy;
}

// Puts the parts that failed at the last read back among the written ones, each where it was.
void WriteKeptParts(IXMLDOMNode* set, const std::vector<TKeptPart>& parts) {
  for (const TKeptPart& part : parts) {
    TXMLNode before = FirstChild(set);
    for (int i = 0; before && i < part.Position; ++i) before = NextSibling(before.Get());
    VARIANT where;  // borrowed reference, not cleared; empty appends
    VariantInit(&where);
    if (before) {
      where.vt = VT_UNKNOWN;
      where.punkVal = before.Get();
    }
    TXMLNode inserted;
    CheckDOM(set->insertBefore(CopyElement(set, part.Node.Get()).Get(), where, inserted.Put()), L"insertBefore");
  }
}

std::wstring TypeName(VARTYPE vt) {
  switch (vt) {
    case VT_I1: return L"ShortInt";
    case VT_I2: return L"SmallInt";
    case VT_I4: return L"Integer";
    case VT_I8: return L"Int64";
    case VT_UI1: return L"Byte";
    case VT_UI2: return L"Word";
    case VT_UI4: return L"LongWord";
    case VT_UI8: return L"UInt64";
    case VT_R4: return L"Single";
    case VT_R8: return L"Double";
    case VT_CY: return L"Currency";
    case VT_DATE: return L"Date";
    case VT_BOOL: return L"Boolean";
    case VT_BSTR: return L"String";
    default: return WideFormat(L"%d", vt);
  }
}

// A value as the text a file stores.
std::wstring StoredText(const VARIANT& value) {
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return std::wstring();
    case VT_BOOL:
      return value.boolVal != VARIANT_FALSE ? L"True" : L"False";
    case VT_BSTR:
      return BStrToWide(value.bstrVal);
    case VT_BYREF | VT_VARIANT:
      if (value.pvarVal) return StoredText(*value.pvarVal);
      break;
    default:
      break;
  }
  TOleVariant text;
  HRESULT hr = VariantChangeTypeEx(text.Receive(), const_cast<VARIANT*>(&value), StoredTextLocale,
                                   VARIANT_ALPHABOOL, VT_BSTR);
  if (FAILED(hr))
    throw EConvertError(WideFormat(L"Could not convert variant of type (%ls) into type (String)",
                                   TypeName(value.vt).c_str()));
  return text.AsBSTRText();
}

const TPropTable& PropTableOf(TObject* obj) {
  auto* persistent = dynamic_cast<TPersistent*>(obj);
  CW_ASSERT(persistent != nullptr, UnitPath, __LINE__);
  return persistent->GetPropTable();
}

// Every CR LF stays, a lone LF becomes CR LF.
std::wstring WithCrLf(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) out += L'\r';
    out += text[i];
  }
  if (out.size() < 2 || out.compare(out.size() - 2, 2, L"\r\n") != 0) out += L"\r\n";
  return out;
}

// Writes bytes to a temporary file beside fileName, then lets it replace fileName: a failure
// at any point leaves the old file as it was.
void ReplaceFileContent(const std::wstring& fileName, const std::string& bytes) {
  std::wstring dir = WideExtractFilePath(fileName);
  if (dir.empty()) dir = L".";
  wchar_t temp[MAX_PATH + 1];
  Win32CheckApi(GetTempFileNameW(dir.c_str(), L"cw", 0, temp) != 0, "GetTempFileNameW");
  std::wstring tempName = temp;
  try {
    {
      TWideFileStream stream(tempName, fmCreate);
      if (!bytes.empty()) stream.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
      Win32CheckApi(FlushFileBuffers(stream.Handle()) != 0, "FlushFileBuffers");
    }
    Win32CheckApi(MoveFileExW(tempName.c_str(), fileName.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0,
                  "MoveFileExW");
  } catch (...) {
    DeleteFileW(tempName.c_str());
    throw;
  }
}

}  // namespace

// --- Failed parts --------------------------------------------------------------------------

void TFailedParts::Add(const Exception& e, IXMLDOMNode* node, int position) {
  FMessage += (FMessage.empty() ? L"" : L"\r\n") + e.Message();
  FParts.push_back(TKeptPart{position, TXMLNode(node)});
}

void TFailedParts::RaiseIfAny() {
  if (!FParts.empty()) throw EPartsNotRead(FMessage, FParts);
}

// --- Entries -------------------------------------------------------------------------------

void TSerializedEntries::AddEntry(TSerializedEntry* entry) {
  TObject* found = nullptr;
  if (!FindString(entry->Name, found)) {
    AddString(entry->Name, entry);
    return;
  }
  for (auto* e = static_cast<TSerializedEntry*>(found);; e = e->FNextSameHash.get()) {
    // The same name again: the list's own duplicate error.
    if (e->Name == entry->Name) AddString(entry->Name, entry);
    if (!e->FNextSameHash) {
      e->FNextSameHash.reset(entry);
      return;
    }
  }
}

bool TSerializedEntries::FindEntry(const std::wstring& name, TSerializedEntry*& entry) const {
  TObject* found = nullptr;
  if (FindString(name, found)) {
    for (auto* e = static_cast<TSerializedEntry*>(found); e; e = e->FNextSameHash.get()) {
      if (e->Name == name) {
        entry = e;
        return true;
      }
    }
  }
  entry = nullptr;
  return false;
}

void TSerializedEntries::ForEachEntry(const std::function<void(TSerializedEntry*)>& fn) {
  ForEach(
      [](void* info, uint32_t, void* data, bool&) {
        const auto& f = *static_cast<const std::function<void(TSerializedEntry*)>*>(info);
        for (auto* e = static_cast<TSerializedEntry*>(static_cast<TObject*>(data)); e; e = e->FNextSameHash.get())
          f(e);
      },
      const_cast<std::function<void(TSerializedEntry*)>*>(&fn));
}

// --- Filer ---------------------------------------------------------------------------------

TXMLFiler::TXMLFiler(std::wstring rootName) : FRootName(std::move(rootName)) {}

TXMLFiler::~TXMLFiler() = default;

TSerializedEntry* TXMLFiler::AddEntry(void* data, const std::wstring& name, TSerializedKind kind) {
  std::unique_ptr<TSerializedEntry> entry;
  if (kind == skObject)
    entry = std::make_unique<TSerializedObjectEntry>(static_cast<TObject*>(data), name);
  else
    entry = std::make_unique<TSerializedEntry>(data, name, kind);
  FEntries.AddEntry(entry.get());
  return entry.release();
}

void TXMLFiler::RegisterInteger(int32_t& value, const std::wstring& name) { AddEntry(&value, name, skInteger); }

void TXMLFiler::RegisterObject(TObject* obj, const std::wstring& name) { AddEntry(obj, name, skObject); }

void TXMLFiler::RegisterObjectProperties(TObject* obj, const std::wstring& name,
                                         const std::vector<std::wstring>& propNames) {
  static_cast<TSerializedObjectEntry*>(AddEntry(obj, name, skObject))->PropNames = propNames;
}

void TXMLFiler::RegisterCollection(TCollection* collection, const std::wstring& name) {
  AddEntry(static_cast<TObject*>(collection), name, skCollection);
}

void TXMLFiler::LoadFromFile(const std::wstring& fileName) {
  FOnlyEntriesFailed = false;
  FFailedValuesLost = false;
  TXMLDocument doc;
  CreatePropertySetDocument(doc);
  try {
    LoadDocumentFile(doc.Get(), fileName);
    TXMLNode root = DocumentElement(doc.Get());
    if (!root) throw EFilerException(L"Error loading XML");
    ReadRoot(root.Get());
  } catch (Exception& e) {
    PrependExceptionLine(e, L"Error loading " + fileName);
    throw;
  }
}

void TXMLFiler::ReadRoot(IXMLDOMNode* root) {
  std::wstring rootName;
  CheckPropertySetNode(root);
  ReadPropertySetName(root, rootName);
  // A file of another kind is ignored without a word.
  if (rootName != FRootName) return;

  FEntries.ForEachEntry([](TSerializedEntry* entry) { entry->KeptParts.clear(); });
  std::vector<std::wstring> errors;
  bool lost = false;
  for (TXMLNode child = FirstChild(root); child; child = NextSibling(child.Get())) {
    // A nameless property here ends the reading: it is not one entry's failure.
    std::wstring name;
    if (IsPropertyNode(child.Get()))
      ReadPropertyName(child.Get(), name);
    else if (IsPropertySetNode(child.Get()))
      ReadPropertySetName(child.Get(), name);
    TSerializedEntry* entry = nullptr;
    if (name.empty() || !FEntries.FindEntry(name, entry)) continue;
    entry->KeptParts.clear();
    try {
      TOleVariant value;
      switch (entry->Kind) {
        case skInteger:
          ReadPropertyValue(child.Get(), VT_I4, value);
          *static_cast<int32_t*>(entry->Data) = value.lVal;
          break;
        case skWideString:
          ReadPropertyValue(child.Get(), VT_BSTR, value);
          *static_cast<std::wstring*>(entry->Data) = value.AsBSTRText();
          break;
        case skBoolean:
          ReadPropertyValue(child.Get(), VT_BOOL, value);
          *static_cast<bool*>(entry->Data) = value.boolVal != VARIANT_FALSE;
          break;
        case skObject:
          LoadObjectFromNode(child.Get(), static_cast<TObject*>(entry->Data));
          break;
        case skCollection:
          ReadCollection(child.Get(), static_cast<TCollection*>(static_cast<TObject*>(entry->Data)));
          break;
      }
    } catch (EPartsNotRead& e) {
      // The entry's other parts are read; the failed ones go back into the file as written.
      entry->KeptParts = std::move(e.Parts);
      errors.push_back(e.Message());
    } catch (Exception& e) {
      // A loader of its own keeps what it could not use (a symbol file that failed stays
      // listed), unless its own format failed.
      const bool ownLoader = entry->Kind == skObject &&
                             dynamic_cast<IXMLNodeLoader*>(static_cast<TObject*>(entry->Data)) != nullptr;
      if (!ownLoader || dynamic_cast<EFilerException*>(&e)) lost = true;
      errors.push_back(e.Message());
    }
  }
  if (!errors.empty()) {
    std::wstring message;
    for (const std::wstring& line : errors) message += line + L"\r\n";
    FOnlyEntriesFailed = true;
    FFailedValuesLost = lost;
    throw Exception(message);
  }
}

void TXMLFiler::SaveToFile(const std::wstring& fileName) {
  TXMLDocument doc;
  CreatePropertySetDocument(doc);
  TXMLNode root = DocumentElement(doc.Get());
  SetNodeAttribute(root.Get(), SName, TOleVariant(FRootName));
  WriteEntries(root.Get());
  SaveDocumentFile(doc.Get(), fileName);
}

void TXMLFiler::WriteEntries(IXMLDOMNode* root) {
  FEntries.ForEachEntry([this, root](TSerializedEntry* entry) { WriteEntry(root, entry); });
}

void TXMLFiler::WriteEntry(IXMLDOMNode* root, TSerializedEntry* entry) {
  TXMLNode child;
  switch (entry->Kind) {
    case skInteger:
      WriteIntegerProperty(root, entry->Name, *static_cast<int32_t*>(entry->Data));
      break;
    case skWideString:
      WriteStringProperty(root, entry->Name, *static_cast<std::wstring*>(entry->Data));
      break;
    case skBoolean:
      WriteProperty(root, entry->Name, TOleVariant(*static_cast<bool*>(entry->Data)));
      break;
    case skObject:
      AddPropertySet(root, entry->Name, child);
      SaveObjectWithPropertyList(child.Get(), static_cast<TObject*>(entry->Data),
                                 static_cast<TSerializedObjectEntry*>(entry)->PropNames);
      WriteKeptParts(child.Get(), entry->KeptParts);
      break;
    case skCollection:
      AddPropertySet(root, entry->Name, child);
      WriteCollection(child.Get(), static_cast<TCollection*>(static_cast<TObject*>(entry->Data)));
      WriteKeptParts(child.Get(), entry->KeptParts);
      break;
  }
}

// --- Documents -----------------------------------------------------------------------------

void CreatePropertySetDocument(TXMLDocument& doc) {
  try {
    doc.Reset();
    CheckDOM(CoCreateInstance(CLSID_CwDOMDocument, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IXMLDOMDocument),
                              reinterpret_cast<void**>(doc.Put())),
             L"CoCreateInstance");
    TComPtr<IXMLDOMElement> root;
    CheckDOM(doc->createElement(TBStr(SPropertySet).Get(), root.Put()), L"createElement");
    CheckDOM(doc->putref_documentElement(root.Get()), L"documentElement");
    CheckDOM(doc->put_validateOnParse(VARIANT_TRUE), L"validateOnParse");
    CheckDOM(doc->put_resolveExternals(VARIANT_TRUE), L"resolveExternals");
    // The default is asynchronous; callers read the document as soon as a load returns.
    CheckDOM(doc->put_async(VARIANT_FALSE), L"async");
  } catch (Exception& e) {
    PrependExceptionLine(e, L"Error creating XML DOM document");
    throw;
  }
}

void LoadDocumentFile(IXMLDOMDocument* doc, const std::wstring& fileName) {
  // A file URL, so that names holding "%20" or "#" reach the parser as they are.
  using TUrlCreateFromPathW = HRESULT(WINAPI*)(LPCWSTR, LPWSTR, LPDWORD, DWORD);
  static TUrlCreateFromPathW urlCreateFromPath = nullptr;
  BindProcedure(urlCreateFromPath, L"shlwapi.dll", "UrlCreateFromPathW");
  wchar_t url[INTERNET_MAX_URL_LENGTH];
  DWORD length = INTERNET_MAX_URL_LENGTH;
  std::wstring source = fileName;
  if (SUCCEEDED(urlCreateFromPath(fileName.c_str(), url, &length, 0))) source.assign(url);
  VARIANT_BOOL loaded = VARIANT_FALSE;
  HRESULT hr = doc->load(TOleVariant(source), &loaded);
  if (FAILED(hr) || loaded == VARIANT_FALSE) {
    TComPtr<IXMLDOMParseError> parseError;
    doc->get_parseError(parseError.Put());
    RaiseXMLParseError(parseError.Get());
  }
}

TXMLNode DocumentElement(IXMLDOMDocument* doc) {
  TComPtr<IXMLDOMElement> root;
  CheckDOM(doc->get_documentElement(root.Put()), L"documentElement");
  return root ? AsNode(root.Get()) : TXMLNode();
}

void RaiseXMLParseError(IXMLDOMParseError* parseError) {
  if (!parseError) throw EFilerException(L"Error loading XML");
  long line = 0, column = 0;
  TBStr reason;
  parseError->get_line(&line);
  parseError->get_linepos(&column);
  parseError->get_reason(reason.Put());
  std::wstring text = reason.Str();
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  throw EFilerException(WideFormat(L"Error loading XML\r\n(%ld, %ld)\r\n%ls", line, column, text.c_str()));
}

void SaveDocumentFile(IXMLDOMDocument* doc, const std::wstring& fileName) {
  if (TXMLNode root = DocumentElement(doc)) IndentNode(root.Get(), 1);
  TBStr xml;
  CheckDOM(doc->get_xml(xml.Put()), L"xml");
  ReplaceFileContent(fileName, WideToUtf8(WithCrLf(xml.Str())));
}

std::wstring IndentBreak(int level) { return L"\r\n" + std::wstring(static_cast<size_t>(level > 0 ? level : 0), L'\t'); }

void IndentNode(IXMLDOMNode* element, int level) {
  for (TXMLNode child = FirstChild(element); child;) {
    TXMLNode next = NextSibling(child.Get());
    DOMNodeType type;
    if (SUCCEEDED(child->get_nodeType(&type)) && type == NODE_ELEMENT) {
      VARIANT_BOOL hasChildren = VARIANT_FALSE;
      child->hasChildNodes(&hasChildren);
      if (hasChildren != VARIANT_FALSE) IndentNode(child.Get(), level + 1);
      VARIANT before;  // borrowed reference, not cleared
      VariantInit(&before);
      before.vt = VT_UNKNOWN;
      before.punkVal = child.Get();
      TXMLNode inserted;
      CheckDOM(element->insertBefore(CreateText(element, IndentBreak(level)).Get(), before, inserted.Put()),
               L"insertBefore");
    }
    child = next;
  }
  AppendChild(element, CreateText(element, IndentBreak(level - 1)).Get());
}

TXMLNode FirstChild(IXMLDOMNode* node) {
  TXMLNode child;
  CheckDOM(node->get_firstChild(child.Put()), L"firstChild");
  return child;
}

TXMLNode NextSibling(IXMLDOMNode* node) {
  TXMLNode next;
  CheckDOM(node->get_nextSibling(next.Put()), L"nextSibling");
  return next;
}

// --- Nodes ---------------------------------------------------------------------------------

std::wstring GetNodeName(IXMLDOMNode* node) {
  TBStr name;
  CheckDOM(node->get_nodeName(name.Put()), L"nodeName");
  return name.Str();
}

void GetNodeAttribute(IXMLDOMNode* node, const std::wstring& name, TOleVariant& value) {
  TComPtr<IXMLDOMElement> element = AsElement(node);
  if (!element) {
    value = TOleVariant(GetNodeName(node));
    return;
  }
  // A missing attribute answers Null.
  CheckDOM(element->getAttribute(TBStr(name).Get(), value.Receive()), L"getAttribute");
  if (value.IsNull()) value.Clear();
}

void SetNodeAttribute(IXMLDOMNode* element, const std::wstring& name, const VARIANT& value) {
  TComPtr<IXMLDOMElement> e = AsElement(element);
  CW_ASSERT(static_cast<bool>(e), UnitPath, __LINE__);
  CheckDOM(e->setAttribute(TBStr(name).Get(), TOleVariant(StoredText(value))), L"setAttribute");
}

bool IsPropertyNode(IXMLDOMNode* node) { return IsElementNamed(node, SProperty); }

bool IsPropertySetNode(IXMLDOMNode* node) { return IsElementNamed(node, SPropertySet); }

void CheckPropertyNode(IXMLDOMNode* node) {
  if (IsPropertyNode(node)) return;
  std::wstring name;
  ReadPropertyName(node, name);
  throw EFilerException(WideFormat(L"\"%ls\" is not a property", name.c_str()));
}

void CheckPropertySetNode(IXMLDOMNode* node) {
  if (IsPropertySetNode(node)) return;
  std::wstring name;
  ReadPropertyName(node, name);
  throw EFilerException(WideFormat(L"\"%ls\" is not a property set", name.c_str()));
}

void ReadPropertyName(IXMLDOMNode* node, std::wstring& name) {
  TOleVariant value;
  GetNodeAttribute(node, SName, value);
  if (value.IsEmpty()) throw EFilerException(L"Property name not defined");
  name = StoredText(value);
}

void ReadPropertySetName(IXMLDOMNode* node, std::wstring& name) {
  CheckPropertySetNode(node);
  TOleVariant value;
  GetNodeAttribute(node, SName, value);
  if (value.IsEmpty()) throw EFilerException(L"Propertyset name not defined");
  name = StoredText(value);
}

void ReadPropertyValue(IXMLDOMNode* node, VARTYPE varType, TOleVariant& value) {
  TOleVariant raw;
  GetNodeAttribute(node, SValue, raw);
  if (raw.IsEmpty()) throw EFilerException(L"Property value not defined");
  if (varType == VT_EMPTY)
    value = std::move(raw);
  else
    ConvertVariant(raw, varType, value);
}

void ConvertVariant(const VARIANT& source, VARTYPE varType, TOleVariant& dest) {
  switch (varType) {
    case VT_EMPTY:
      dest = source;
      return;
    case VT_BSTR:
      dest = TOleVariant(StoredText(source));
      return;
    case VT_LPSTR:  // single-byte strings have no place in a variant here
      CW_ASSERT(false, UnitPath, __LINE__);
      return;
    default:
      break;
  }
  TOleVariant result;
  HRESULT hr = VariantChangeTypeEx(result.Receive(), const_cast<VARIANT*>(&source), StoredTextLocale, 0, varType);
  if (FAILED(hr)) {
    if (source.vt == VT_BSTR)
      throw EConvertError(WideFormat(L"Could not convert \"%ls\" into type (%ls)", StoredText(source).c_str(),
                                     TypeName(varType).c_str()));
    throw EConvertError(WideFormat(L"Could not convert variant of type (%ls) into type (%ls)",
                                   TypeName(source.vt).c_str(), TypeName(varType).c_str()));
  }
  dest = std::move(result);
}

void ReadProperty(IXMLDOMNode* node, const std::wstring& name, VARTYPE varType, TOleVariant& value,
                  bool required) {
  for (TXMLNode child = FirstChild(node); child; child = NextSibling(child.Get())) {
    if (!IsPropertyNode(child.Get())) continue;
    std::wstring childName;
    ReadPropertyName(child.Get(), childName);
    if (childName == name) {
      ReadPropertyValue(child.Get(), varType, value);
      return;
    }
  }
  if (required) throw EFilerException(WideFormat(L"Required property \"%ls\" not found", name.c_str()));
  value.Clear();
}

void ExpectPropertyNode(IXMLDOMNode* node, const std::wstring& name) {
  CheckPropertyNode(node);
  std::wstring actual;
  ReadPropertyName(node, actual);
  if (actual != name) RaiseUnknownToken(actual);
}

IXMLDOMNode* ExpectPropertySet(IXMLDOMNode* node, const std::wstring& name) {
  std::wstring actual;
  ReadPropertySetName(node, actual);
  if (actual != name) RaiseUnknownToken(actual);
  return node;
}

void RaiseUnknownToken(const std::wstring& text) {
  throw EFilerException(WideFormat(L"Unknown token - \"%ls\"", text.c_str()));
}

void RaiseNotSpecified(const std::wstring& what) {
  throw EFilerException(WideFormat(L"\"%ls\" isn't specified", what.c_str()));
}

void WriteProperty(IXMLDOMNode* node, const std::wstring& name, const VARIANT& value) {
  TXMLNode property = CreateElement(node, SProperty);
  SetNodeAttribute(property.Get(), SName, TOleVariant(name));
  SetNodeAttribute(property.Get(), SValue, value);
  AppendChild(node, property.Get());
}

void WriteIntegerProperty(IXMLDOMNode* node, const std::wstring& name, int32_t value) {
  WriteProperty(node, name, TOleVariant(value));
}

void WriteStringProperty(IXMLDOMNode* node, const std::wstring& name, const std::wstring& value) {
  WriteProperty(node, name, TOleVariant(value));
}

void AddPropertySet(IXMLDOMNode* node, const std::wstring& name, TXMLNode& child) {
  TXMLNode set = CreateElement(node, SPropertySet);
  if (!name.empty()) SetNodeAttribute(set.Get(), SName, TOleVariant(name));
  AppendChild(node, set.Get());
  child = set;
}

// --- Objects and collections ---------------------------------------------------------------

void GetPublishedPropertyNames(TObject* obj, std::vector<std::wstring>& names) {
  names.clear();
  for (const TPropInfo& p : PropTableOf(obj).Properties()) {
    if (names.size() == 256) break;
    names.push_back(p.Name);
  }
}

void FindPublishedMethod(TObject* obj, const std::wstring& methodName, TMethod& method) {
  method = TMethod();
  if (TMethodCode code = PropTableOf(obj).FindMethod(methodName)) method = TMethod{code, obj};
}

static void ReadPublishedProperty(IXMLDOMNode* child, TObject* obj, const TPropTable& table) {
  std::wstring name;
  ReadPropertyName(child, name);
  const TPropInfo* prop = table.Find(name);
  if (!prop || !prop->IsWritable()) return;
  TOleVariant value;
  switch (prop->Kind) {
    case TPropKind::pkInteger:
      ReadPropertyValue(child, VT_I4, value);
      prop->SetValue(obj, value);
      break;
    case TPropKind::pkBoolean:
      // "True"/"False" in any letter case, or a number (non-zero is True).
      ReadPropertyValue(child, VT_BOOL, value);
      prop->SetValue(obj, value);
      break;
    case TPropKind::pkMethod: {
      ReadPropertyValue(child, VT_BSTR, value);
      TMethod method;
      FindPublishedMethod(obj, value.AsBSTRText(), method);
      prop->SetMethod(obj, method);
      break;
    }
    case TPropKind::pkWideString:
      ReadPropertyValue(child, VT_BSTR, value);
      prop->SetValue(obj, value);
      break;
    case TPropKind::pkVariant:
      ReadPropertyValue(child, VT_EMPTY, value);
      prop->SetValue(obj, value);
      break;
  }
}

void ReadPublishedProperties(IXMLDOMNode* node, TObject* obj) {
  const TPropTable& table = PropTableOf(obj);
  // A property that fails costs none after it; the failures are raised together at the end,
  // a single one as it was raised.
  std::unique_ptr<Exception> first;
  std::wstring failures;
  for (TXMLNode child = FirstChild(node); child; child = NextSibling(child.Get())) {
    if (!IsPropertyNode(child.Get())) continue;
    try {
      ReadPublishedProperty(child.Get(), obj, table);
    } catch (Exception& e) {
      if (!first) first.reset(e.Clone());
      failures += (failures.empty() ? L"" : L"\r\n") + e.Message();
    }
  }
  if (first && failures == first->Message()) first->Rethrow();
  if (first) throw Exception(failures);
}

void LoadObjectFromNode(IXMLDOMNode* node, TObject* obj) {
  if (auto* loader = dynamic_cast<IXMLNodeLoader*>(obj))
    loader->LoadFromNode(node);
  else
    ReadPublishedProperties(node, obj);
}

void ReadCollection(IXMLDOMNode* node, TCollection* collection) {
  collection->Clear();
  // An item that fails is left out and kept as written; the items after it are read.
  TFailedParts failed;
  int position = 0;
  for (TXMLNode child = FirstChild(node); child; child = NextSibling(child.Get())) {
    if (!IsPropertySetNode(child.Get())) continue;
    TCollectionItem* item = nullptr;
    try {
      std::wstring name;
      ReadPropertySetName(child.Get(), name);
      if (name != SObject) continue;
      item = collection->Add();
      LoadObjectFromNode(child.Get(), item);
    } catch (Exception& e) {
      int index = item ? collection->IndexOf(item) : -1;
      if (index >= 0) collection->Delete(index);
      failed.Add(e, child.Get(), position);
    }
    ++position;
  }
  failed.RaiseIfAny();
}

void WritePublishedPropertyList(IXMLDOMNode* node, TObject* obj, const std::vector<std::wstring>& propNames) {
  const TPropTable& table = PropTableOf(obj);
  for (const std::wstring& name : propNames) {
    const TPropInfo* prop = table.Find(name);
    if (!prop) continue;
    switch (prop->Kind) {
      case TPropKind::pkInteger:
        WriteIntegerProperty(node, prop->Name, prop->GetValue(obj).lVal);
        break;
      case TPropKind::pkBoolean:
        WriteStringProperty(node, prop->Name, prop->GetValue(obj).boolVal != VARIANT_FALSE ? L"True" : L"False");
        break;
      case TPropKind::pkWideString:
        WriteStringProperty(node, prop->Name, prop->GetValue(obj).AsBSTRText());
        break;
      case TPropKind::pkVariant:
        WriteProperty(node, prop->Name, prop->GetValue(obj));
        break;
      case TPropKind::pkMethod:
        CW_ASSERT(false, UnitPath, __LINE__);
        break;
    }
  }
}

void SavePublishedProperties(IXMLDOMNode* node, TObject* obj) {
  std::vector<std::wstring> names;
  GetPublishedPropertyNames(obj, names);
  WritePublishedPropertyList(node, obj, names);
}

void SaveObjectPropertyList(IXMLDOMNode* node, TObject* obj, std::initializer_list<std::wstring> propNames) {
  WritePublishedPropertyList(node, obj, std::vector<std::wstring>(propNames));
}

void SaveObjectWithPropertyList(IXMLDOMNode* node, TObject* obj, const std::vector<std::wstring>& propNames) {
  if (auto* saver = dynamic_cast<IXMLNodeSaver*>(obj))
    saver->SaveToNode(node);
  else
    WritePublishedPropertyList(node, obj, propNames);
}

void SaveObjectToNode(IXMLDOMNode* node, TObject* obj) {
  // An object with its own saver needs no property table.
  if (auto* saver = dynamic_cast<IXMLNodeSaver*>(obj)) {
    saver->SaveToNode(node);
    return;
  }
  SavePublishedProperties(node, obj);
}

void WriteCollection(IXMLDOMNode* node, TCollection* collection) {
  for (int i = 0; i < collection->GetCount(); ++i) {
    TXMLNode child;
    AddPropertySet(node, SObject, child);
    SaveObjectToNode(child.Get(), collection->GetItem(i));
  }
}
