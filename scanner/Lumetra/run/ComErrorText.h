#pragma once
// The text every caller of the scanner interface logs or shows for a COM failure.
#include <string>

#include "platform/com.h"

// "Description: " and the error's description (the HRESULT's system text when the error
// carries no description).
std::string FormatComError(const platform::com::ComError& error);
