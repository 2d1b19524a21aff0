#include "run/ComError.h"

namespace lumetra::run {

std::string FormatComError(const platform::com::ComError& e) {
  const std::string& description = e.Description();
  return "Description: " + (description.empty() ? platform::com::ErrorMessage(e.Error()) : description);
}

}  // namespace lumetra::run
