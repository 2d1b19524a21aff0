#pragma once
// Symbols of the TIFF library's exported interface.
#define TESSARY_API __attribute__((visibility("default")))
