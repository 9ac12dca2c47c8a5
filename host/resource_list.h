// IResourceList: the framework's list of a device's resources, each entry in
// its untranslated (bus-relative) and translated (system) form. The full list
// a start routine receives, and the capacity-bounded sublists that
// PcNewResourceSublist makes from it.
#pragma once

#include <portcls.h>

#include <vector>

#include "host/com.h"

namespace host {

class ResourceList final : public IResourceList, public FrameworkObject {
 public:
  // A sublist with room for `capacity` entries.
  static NTSTATUS CreateSublist(PRESOURCELIST* out, POOL_TYPE type, ULONG capacity);
  // The full list of a started device, copied from the start request's lists
  // (either may be null: no resources). Fails with STATUS_INVALID_PARAMETER
  // when the two lists do not describe the same entries.
  static NTSTATUS CreateFromCm(PRESOURCELIST* out, const CM_RESOURCE_LIST* untranslated,
                               const CM_RESOURCE_LIST* translated);

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override;
  HOST_FRAMEWORK_REFCOUNT()
  STDMETHODIMP_(ULONG) NumberOfEntries() override { return count_; }
  STDMETHODIMP_(ULONG) NumberOfEntriesOfType(CM_RESOURCE_TYPE type) override;
  STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindTranslatedEntry(CM_RESOURCE_TYPE type, ULONG index) override;
  STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindUntranslatedEntry(CM_RESOURCE_TYPE type, ULONG index) override;
  STDMETHODIMP_(NTSTATUS) AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR translated,
                                   PCM_PARTIAL_RESOURCE_DESCRIPTOR untranslated) override;
  STDMETHODIMP_(NTSTATUS) AddEntryFromParent(IResourceList* parent, CM_RESOURCE_TYPE type, ULONG index) override;
  STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override { return translated_; }
  STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override { return untranslated_; }

  ULONG Capacity() const { return capacity_; }

  // Copies of the entries of any IResourceList, for reports.
  static std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> TranslatedEntries(IResourceList* list);
  static std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> UntranslatedEntries(IResourceList* list);

  // Bytes of a CM_RESOURCE_LIST with one full descriptor of `entries` partials.
  static SIZE_T CmListBytes(ULONG entries);

 private:
  explicit ResourceList(ULONG capacity) : capacity_(capacity) {}
  ~ResourceList() override;
  bool AllocateLists(POOL_TYPE type);
  PCM_PARTIAL_RESOURCE_DESCRIPTOR Find(PCM_RESOURCE_LIST list, CM_RESOURCE_TYPE type, ULONG index);

  ULONG capacity_;
  ULONG count_ = 0;
  PCM_RESOURCE_LIST translated_ = nullptr;
  PCM_RESOURCE_LIST untranslated_ = nullptr;
};

}  // namespace host
