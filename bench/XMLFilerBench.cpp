// Property sets: loading a file of 2,000 entries (a collection of highlight-rule-like items),
// with the parse alone and the two ways of walking a node's children beside it.
#include <objbase.h>

#include <string>

#include "Bench.h"
#include "Tracer/foundation/uXMLFiler.h"

namespace {

constexpr int kEntries = 2000;

class TBenchRule : public TCollectionItem {
public:
  using TCollectionItem::TCollectionItem;
  static const TPropTable& ClassPropTable() {
    static const TPropTable table(&TCollectionItem::ClassPropTable(),
                                  {
                                      IntegerProperty<TBenchRule>(L"BackColor", &TBenchRule::BackColor,
                                                                  &TBenchRule::BackColor),
                                      IntegerProperty<TBenchRule>(L"ForeColor", &TBenchRule::ForeColor,
                                                                  &TBenchRule::ForeColor),
                                      StringProperty<TBenchRule>(L"SearchStr", &TBenchRule::SearchStr,
                                                                 &TBenchRule::SearchStr),
                                  });
    return table;
  }
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }
  int32_t BackColor = 0xFFFFFF;
  int32_t ForeColor = 0;
  std::wstring SearchStr;
};

std::wstring TempFile(const wchar_t* name) {
  wchar_t dir[MAX_PATH + 1];
  GetTempPathW(MAX_PATH, dir);
  return std::wstring(dir) + name;
}

// Children of the collection set, counted.
int64_t WalkBySibling(IXMLDOMNode* node) {
  int64_t n = 0;
  for (TXMLNode child = FirstChild(node); child; child = NextSibling(child.Get())) ++n;
  return n;
}

int64_t WalkByIndex(IXMLDOMNode* node) {
  TComPtr<IXMLDOMNodeList> list;
  node->get_childNodes(list.Put());
  long length = 0;
  list->get_length(&length);
  int64_t n = 0;
  for (long i = 0; i < length; ++i) {
    TXMLNode child;
    list->get_item(i, child.Put());
    n += child ? 1 : 0;
  }
  return n;
}

void LoadPropertySet(TBenchGroup& g) {
  CoInitialize(nullptr);
  {
    const std::wstring file = TempFile(L"cw_bench_propertyset.xml");
    TCollectionOf<TBenchRule> rules;
    for (int i = 0; i < kEntries; ++i) {
      TBenchRule* r = rules.Add();
      r->ForeColor = i;
      r->SearchStr = L"export://Function" + std::to_wstring(i) + L"@module.dll";
    }
    TXMLFiler filer(L"calderwisp:properties");
    filer.RegisterCollection(&rules, L"log:highlight");
    filer.SaveToFile(file);

    auto parse = [&](TXMLDocument& doc) {
      CreatePropertySetDocument(doc);
      LoadDocumentFile(doc.Get(), file);
      // The collection's property set, the root's only element child.
      return FirstChild(DocumentElement(doc.Get()).Get());
    };
    g.Measure("DOM load only", 10, kEntries, [&](int64_t it) {
      for (int64_t r = 0; r < it; ++r) {
        TXMLDocument doc;
        gBenchSink = reinterpret_cast<uintptr_t>(parse(doc).Get());
      }
    });
    g.Measure("DOM load, children walked by sibling", 10, kEntries, [&](int64_t it) {
      for (int64_t r = 0; r < it; ++r) {
        TXMLDocument doc;
        gBenchSink = static_cast<uintptr_t>(WalkBySibling(parse(doc).Get()));
      }
    });
    g.Measure("DOM load, children walked by index", 2, kEntries, [&](int64_t it) {
      for (int64_t r = 0; r < it; ++r) {
        TXMLDocument doc;
        gBenchSink = static_cast<uintptr_t>(WalkByIndex(parse(doc).Get()));
      }
    });
    g.Measure("TXMLFiler::LoadFromFile into the collection", 10, kEntries, [&](int64_t it) {
      for (int64_t r = 0; r < it; ++r) filer.LoadFromFile(file);
      gBenchSink = static_cast<uintptr_t>(rules.GetCount());
    });
    g.Measure("TXMLFiler::SaveToFile of the collection", 10, kEntries, [&](int64_t it) {
      for (int64_t r = 0; r < it; ++r) filer.SaveToFile(file);
    });
    DeleteFileW(file.c_str());
  }
  CoUninitialize();
}

const bool kRegistered = RegisterBenchmark("Property set of 2,000 entries", LoadPropertySet);

}  // namespace
