#include "KorvelProvider.h"

HRESULT CKorvelVSSProvider::FillInLunInfo(VSS_PWSZ, VDS_LUN_INFORMATION*, BOOL*) { return E_NOTIMPL; }
HRESULT CKorvelVSSProvider::LocateLuns(LONG, VDS_LUN_INFORMATION*) { return E_NOTIMPL; }
HRESULT CKorvelVSSProvider::OnLunEmpty(VSS_PWSZ, VDS_LUN_INFORMATION*) { return E_NOTIMPL; }
HRESULT CKorvelVSSProvider::OnLunStateChange(VDS_LUN_INFORMATION*, VDS_LUN_INFORMATION*, DWORD, DWORD) { return E_NOTIMPL; }
HRESULT CKorvelVSSProvider::ResyncLuns(VDS_LUN_INFORMATION*, VDS_LUN_INFORMATION*, DWORD, IVssAsync**) { return E_NOTIMPL; }
