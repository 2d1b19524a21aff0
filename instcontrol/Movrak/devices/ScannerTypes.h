#pragma once
// The automation interfaces' enumerations, which the device model shares.
#include "Movrak/ScanCtrlTypes.h"
