#include "run/ComErrorText.h"

std::string FormatComError(const platform::com::ComError& error) {
  return "Description: " + error.Description();
}
