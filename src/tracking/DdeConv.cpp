#include "tracking/DdeConv.h"

#include <algorithm>

TDdeClientItem::~TDdeClientItem() { SetDdeConv(nullptr); }

void TDdeClientItem::SetDdeConv(TDdeClientConv* conv) {
    if (Conv == conv) return;
    if (Conv) Conv->Detach(this);
    if (conv) conv->Attach(this);
}

void TDdeClientItem::SetDdeItem(const std::string& name) {
    if (Conv && Advising && !Item.empty()) Conv->StopAdvise(Item);
    Advising = false;
    Item = name;
    if (Conv && Conv->IsConnected() && !Item.empty()) Conv->AdviseItem(this);
}

TDdeClientConv::~TDdeClientConv() {
    // Items outlive nothing of ours: leave them detached. The transport's own destructor has
    // already run, so no primitive is called from here.
    for (auto* item : Items) {
        item->Conv = nullptr;
        item->Advising = false;
    }
}

bool TDdeClientConv::SetLink(const std::string& service, const std::string& topic) {
    if (IsConnected()) Disconnect();
    for (auto* item : Items) item->Advising = false;
    Service = service;
    Topic = topic;
    return true;
}

bool TDdeClientConv::OpenLink() {
    if (IsConnected()) return true;
    if (Service.empty()) return false;
    bool ok = Connect(Service, Topic);
    if (!ok && Launch(Service + " " + Topic)) ok = Connect(Service, Topic);
    if (!ok) {
        auto items = Items;
        for (auto* item : items) item->SetDdeConv(nullptr);
        return false;
    }
    auto items = Items;  // an item may be detached while we go
    for (auto* item : items)
        if (item->Conv == this && !item->Item.empty()) AdviseItem(item);
    return true;
}

void TDdeClientConv::CloseLink() {
    if (IsConnected()) Disconnect();
    for (auto* item : Items) item->Advising = false;
    Service.clear();
    Topic.clear();
}

std::string TDdeClientConv::RequestData(const std::string& item) {
    std::string value;
    if (!IsConnected()) return value;
    if (!Request(item, RequestTimeoutMs, value)) value.clear();
    return value;
}

void TDdeClientConv::AdviseNotice(const std::string& itemName) {
    auto items = Items;
    for (auto* item : items) {
        if (item->Conv != this || item->Item != itemName || !item->Advising) continue;
        std::string value;
        if (Request(itemName, AdviseTimeoutMs, value)) Changed(item, value);
    }
}

void TDdeClientConv::ConnectionLost() {
    for (auto* item : Items) item->Advising = false;
}

void TDdeClientConv::Attach(TDdeClientItem* item) {
    item->Conv = this;
    item->Advising = false;
    Items.push_back(item);
}

void TDdeClientConv::Detach(TDdeClientItem* item) {
    if (item->Advising && IsConnected()) StopAdvise(item->Item);
    item->Advising = false;
    item->Conv = nullptr;
    Items.erase(std::remove(Items.begin(), Items.end(), item), Items.end());
}

void TDdeClientConv::AdviseItem(TDdeClientItem* item) {
    if (!StartAdvise(item->Item, AdviseTimeoutMs)) {
        item->SetDdeConv(nullptr);
        return;
    }
    item->Advising = true;
    std::string value;
    if (Request(item->Item, AdviseTimeoutMs, value)) Changed(item, value);
}

void TDdeClientConv::Changed(TDdeClientItem* item, const std::string& value) {
    item->Value = value;
    if (item->OnChange) item->OnChange(*item);
}
