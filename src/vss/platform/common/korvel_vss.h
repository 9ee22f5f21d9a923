// Our own helpers on the shadow copy service's records and interfaces, the
// same on every platform: included through "vss.h".
#pragma once

// A finished asynchronous operation with the given status, for operations
// that complete before they return. The caller owns the one reference; null
// when memory runs out.
IVssAsync* KorvelNewCompletedAsync(HRESULT status);

// Releases the CoTaskMemAlloc buffers a LUN record holds and zeroes what it
// freed: the identifier list (bytes included), the interconnects, or the
// whole record.
void KorvelFreeLunIdentifiers(VDS_STORAGE_DEVICE_ID_DESCRIPTOR& descriptor);
void KorvelFreeLunInterconnects(VDS_LUN_INFORMATION& lun);
void KorvelFreeLunInformation(VDS_LUN_INFORMATION& lun);
