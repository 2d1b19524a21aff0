#pragma once
// Symbols of the data port library's exported interface.
#define PELLUX_API __attribute__((visibility("default")))
