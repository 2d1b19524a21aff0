#pragma once
// The interface of the test server library built from com_fixture.cpp.
#include "platform/com.h"

namespace comfixture {

using platform::com::HRESULT;

class ICounter : public platform::com::IUnknown {
 public:
  static constexpr platform::com::IID kIID{
      0x5E1D27A0, 0x3B4C, 0x4F11, {0x9A, 0x01, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
  // Adds one and gives the new count.
  virtual HRESULT Increment(int* count) = 0;
  // Fails with ItfError(id) and error information "failed: <id>".
  virtual HRESULT Fail(int id) = 0;
};

inline constexpr platform::com::CLSID kCLSID_Counter{
    0x5E1D27A1, 0x3B4C, 0x4F11, {0x9A, 0x01, 0x22, 0x33, 0x44, 0x55, 0x66, 0x78}};
// A class whose construction fails (the factory reports E_OUTOFMEMORY).
inline constexpr platform::com::CLSID kCLSID_Broken{
    0x5E1D27A2, 0x3B4C, 0x4F11, {0x9A, 0x01, 0x22, 0x33, 0x44, 0x55, 0x66, 0x79}};

}  // namespace comfixture
