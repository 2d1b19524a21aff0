#pragma once
// Symbols of the automation server's exported interface (everything else stays hidden).
#define MOVRAK_API __attribute__((visibility("default")))
