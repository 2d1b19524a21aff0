// What the run progress dialog shows and reports for the run's messages.
#include "run/ui/RunProgressModel.h"

#include <gtest/gtest.h>
