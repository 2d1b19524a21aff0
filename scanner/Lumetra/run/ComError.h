#pragma once
// The text of a failed IScanCtrl call, as the scanner user interface logs and shows it.
#include <string>

#include "Movrak/IScanCtrl.h"
#include "platform/com.h"

namespace lumetra::run {

// "Description: %s" with the error's description, or with the standard text of its
// HRESULT when it carries none.
std::string FormatComError(const platform::com::ComError& e);

// Throws platform::com::ComError for a failed HRESULT of IScanCtrl, with the error
// information the server left; returns the HRESULT otherwise.
inline platform::com::HRESULT CheckScanCtrl(platform::com::HRESULT hr) {
  return platform::com::Check(hr, IScanCtrl::kIID);
}

}  // namespace lumetra::run
