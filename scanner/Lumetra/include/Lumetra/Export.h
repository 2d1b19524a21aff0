#pragma once
// Symbols of the user-interface library's exported interface.
#define LUMETRA_API __attribute__((visibility("default")))
