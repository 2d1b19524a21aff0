#pragma once
// Symbols of the logging library's exported interface.
#define JOTWELL_API __attribute__((visibility("default")))
