// What the check-carousel dialog shows for the check's messages.
#include "run/ui/CheckCarouselModel.h"

#include <gtest/gtest.h>
