// Schema classes: reading the rows of a 1,000-row page, wrapping an element, writing children in
// declaration order, and enumeration text lookups.
#include <benchmark/benchmark.h>

#include <string>

#include "uDvEWSTypes.h"

using namespace dv;

namespace {

constexpr const char* kOpen =
    "<m:Root xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\" "
    "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\"><m:Items>";

DvDOMDocumentPtr Page(int rows) {
  std::string xml = kOpen;
  for (int i = 0; i < rows; ++i) {
    xml += "<t:Message><t:ItemId Id=\"id" + std::to_string(i) +
           "\" ChangeKey=\"ck\"/><t:Subject>Subject " + std::to_string(i) +
           "</t:Subject><t:Importance>High</t:Importance><t:Size>1234</t:Size>"
           "<t:IsRead>true</t:IsRead></t:Message>";
  }
  xml += "</m:Items></m:Root>";
  return DvCreateDOM(xml);
}

// A table page: wrap the page, then read three values of every row through its wrapper.
void BM_PageRows(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  DvDOMDocumentPtr doc = Page(rows);
  DvDOMElementPtr items = doc->GetDocumentElement()->GetElement(0);
  for (auto _ : state) {
    TEwsArrayOfRealItems page(items);
    auto* messages = page.GetMessage_();
    std::size_t total = 0;
    for (int i = 0; i < rows; ++i) {
      TEwsMessage* m = messages->GetItem(i);
      total += m->GetSubject().size() + static_cast<std::size_t>(m->GetImportance()) +
               static_cast<std::size_t>(m->GetSize());
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * rows);
}
BENCHMARK(BM_PageRows)->Arg(50)->Arg(1000);

// A table looking its row up by node, as GetRowData does.
void BM_RowLookupByNode(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  DvDOMDocumentPtr doc = Page(rows);
  DvDOMElementPtr items = doc->GetDocumentElement()->GetElement(0);
  TEwsArrayOfRealItems page(items);
  TDvXMLSchemaElementArrayBase* array = page.GetArrayByName("Message_");
  int row = 0;
  for (auto _ : state) {
    DvDOMElementPtr element = items->GetElement(row);
    benchmark::DoNotOptimize(array->GetElement(array->IndexOfNode(*element)));
    row = (row + 1) % rows;
  }
}
BENCHMARK(BM_RowLookupByNode)->Arg(1000);

void BM_WrapElement(benchmark::State& state) {
  DvDOMDocumentPtr doc = Page(1);
  DvDOMElementPtr message = doc->GetDocumentElement()->GetElement(0)->GetElement(0);
  for (auto _ : state) {
    TEwsMessage m(message);
    benchmark::DoNotOptimize(m.GetClassInfo());
  }
}
BENCHMARK(BM_WrapElement);

// A new item: ten children written out of order, each placed at its declaration position.
void BM_WriteNewItem(benchmark::State& state) {
  for (auto _ : state) {
    DvDOMDocumentPtr doc = DvCreateDOM(std::string(kOpen) + "<t:Message/></m:Items></m:Root>");
    TEwsMessage m(doc->GetDocumentElement()->GetElement(0)->GetElement(0));
    m.SetIsRead(false);
    m.SetSubject("Hello");
    m.SetImportance(TImportanceChoices::icHigh);
    m.GetBody()->SetValue("text");
    m.SetSensitivity(TSensitivityChoices::scPrivate);
    m.GetToRecipients()->GetMailbox()->Add()->SetEmailAddress("a@example.com");
    m.SetItemClass("IPM.Note");
    m.SetIsReadReceiptRequested(true);
    m.SetInReplyTo("x");
    m.SetCulture("en-GB");
    benchmark::DoNotOptimize(m.AsElement()->ElementCount());
  }
}
BENCHMARK(BM_WriteNewItem);

void BM_EnumFromXML(benchmark::State& state) {
  const std::string texts[] = {"message:IsRead", "item:Subject", "persona:MapiSendRichInfo",
                               "calendar:Start"};
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(DvXMLToEnum<TUnindexedFieldURI>(texts[i++ & 3]));
  }
}
BENCHMARK(BM_EnumFromXML);

void BM_EnumToXML(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(DvEnumTypeInfo(TUnindexedFieldURI{}).ToXML((i++ * 7) % 510));
  }
}
BENCHMARK(BM_EnumToXML);

}  // namespace

BENCHMARK_MAIN();
