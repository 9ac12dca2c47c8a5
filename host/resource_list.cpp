#include "host/resource_list.h"

#include <cstring>

#include "host/kernel.h"

namespace host {

namespace {

PCM_PARTIAL_RESOURCE_DESCRIPTOR Partials(PCM_RESOURCE_LIST list) {
  return list->List[0].PartialResourceList.PartialDescriptors;
}

ULONG PartialCount(const CM_RESOURCE_LIST* list) {
  return list && list->Count > 0 ? list->List[0].PartialResourceList.Count : 0;
}

}  // namespace

SIZE_T ResourceList::CmListBytes(ULONG entries) {
  return offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors) +
         static_cast<SIZE_T>(entries ? entries : 1) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
}

ResourceList::~ResourceList() {
  Pool& pool = Kernel::Require("IResourceList::Release").GetPool();
  if (translated_) pool.Free(translated_, kTagResourceList);
  if (untranslated_) pool.Free(untranslated_, kTagResourceList);
}

bool ResourceList::AllocateLists(POOL_TYPE type) {
  Pool& pool = Kernel::Require("IResourceList").GetPool();
  const SIZE_T bytes = CmListBytes(capacity_);
  translated_ = static_cast<PCM_RESOURCE_LIST>(pool.Allocate(type, bytes, kTagResourceList));
  untranslated_ = static_cast<PCM_RESOURCE_LIST>(pool.Allocate(type, bytes, kTagResourceList));
  if (!translated_ || !untranslated_) return false;
  for (PCM_RESOURCE_LIST list : {translated_, untranslated_}) {
    std::memset(list, 0, bytes);
    list->Count = 1;
    list->List[0].InterfaceType = PCIBus;
    list->List[0].PartialResourceList.Version = 1;
    list->List[0].PartialResourceList.Revision = 1;
  }
  return true;
}

NTSTATUS ResourceList::CreateSublist(PRESOURCELIST* out, POOL_TYPE type, ULONG capacity) {
  auto* list = new (kTagResourceList, type) ResourceList(capacity);
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  if (!list->AllocateLists(type)) {
    list->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *out = list;
  return STATUS_SUCCESS;
}

NTSTATUS ResourceList::CreateFromCm(PRESOURCELIST* out, const CM_RESOURCE_LIST* untranslated,
                                    const CM_RESOURCE_LIST* translated) {
  const ULONG count = PartialCount(translated);
  if (count != PartialCount(untranslated)) return STATUS_INVALID_PARAMETER;
  PRESOURCELIST created = nullptr;
  NTSTATUS status = CreateSublist(&created, NonPagedPool, count);
  if (!NT_SUCCESS(status)) return status;
  auto* list = static_cast<ResourceList*>(created);
  for (ULONG i = 0; i < count; ++i) {
    auto t = Partials(const_cast<PCM_RESOURCE_LIST>(translated))[i];
    auto u = Partials(const_cast<PCM_RESOURCE_LIST>(untranslated))[i];
    if (t.Type != u.Type) {
      list->Release();
      return STATUS_INVALID_PARAMETER;
    }
    list->AddEntry(&t, &u);
  }
  *out = list;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) ResourceList::QueryInterface(REFIID id, PVOID* out) {
  if (!out) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_IResourceList)) {
    *out = static_cast<IResourceList*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *out = nullptr;
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) ResourceList::NumberOfEntriesOfType(CM_RESOURCE_TYPE type) {
  ULONG n = 0;
  for (ULONG i = 0; i < count_; ++i)
    if (Partials(translated_)[i].Type == type) ++n;
  return n;
}

PCM_PARTIAL_RESOURCE_DESCRIPTOR ResourceList::Find(PCM_RESOURCE_LIST list, CM_RESOURCE_TYPE type, ULONG index) {
  for (ULONG i = 0; i < count_; ++i) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR entry = &Partials(list)[i];
    if (entry->Type == type && index-- == 0) return entry;
  }
  return nullptr;
}

STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) ResourceList::FindTranslatedEntry(CM_RESOURCE_TYPE type, ULONG index) {
  return Find(translated_, type, index);
}

STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) ResourceList::FindUntranslatedEntry(CM_RESOURCE_TYPE type,
                                                                                  ULONG index) {
  return Find(untranslated_, type, index);
}

STDMETHODIMP_(NTSTATUS) ResourceList::AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR translated,
                                               PCM_PARTIAL_RESOURCE_DESCRIPTOR untranslated) {
  if (!translated || !untranslated) return STATUS_INVALID_PARAMETER;
  if (count_ >= capacity_) return STATUS_INSUFFICIENT_RESOURCES;
  Partials(translated_)[count_] = *translated;
  Partials(untranslated_)[count_] = *untranslated;
  ++count_;
  translated_->List[0].PartialResourceList.Count = count_;
  untranslated_->List[0].PartialResourceList.Count = count_;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) ResourceList::AddEntryFromParent(IResourceList* parent, CM_RESOURCE_TYPE type, ULONG index) {
  if (!parent) return STATUS_INVALID_PARAMETER;
  // The index counts entries of this type in the parent, as the DDK does.
  PCM_PARTIAL_RESOURCE_DESCRIPTOR translated = parent->FindTranslatedEntry(type, index);
  PCM_PARTIAL_RESOURCE_DESCRIPTOR untranslated = parent->FindUntranslatedEntry(type, index);
  if (!translated || !untranslated) return STATUS_INVALID_PARAMETER;
  return AddEntry(translated, untranslated);
}

namespace {
std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> Entries(PCM_RESOURCE_LIST list) {
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> entries;
  for (ULONG i = 0; i < PartialCount(list); ++i) entries.push_back(Partials(list)[i]);
  return entries;
}
}  // namespace

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> ResourceList::TranslatedEntries(IResourceList* list) {
  return list ? Entries(list->TranslatedList()) : std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>{};
}

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> ResourceList::UntranslatedEntries(IResourceList* list) {
  return list ? Entries(list->UntranslatedList()) : std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>{};
}

}  // namespace host

NTSTATUS NTAPI PcNewResourceSublist(PRESOURCELIST* OutResourceList, PUNKNOWN, POOL_TYPE PoolType,
                                    PRESOURCELIST ParentList, ULONG MaximumEntries) {
  host::Kernel::Require("PcNewResourceSublist").CheckIrqlAtMost(DISPATCH_LEVEL, "PcNewResourceSublist");
  if (!OutResourceList || !ParentList) return STATUS_INVALID_PARAMETER;
  return host::ResourceList::CreateSublist(OutResourceList, PoolType, MaximumEntries);
}
