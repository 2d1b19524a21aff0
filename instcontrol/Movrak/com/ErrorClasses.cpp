// CheckErrorCode of both interfaces: whether an error id belongs to a class of errors.
#include <algorithm>
#include <iterator>
#include <vector>

#include "com/ComServer.h"
#include "com/ScanCtrl.h"

namespace {

struct Membership {
  int id;
  std::vector<unsigned> classes;
};

// Each id with the classes it belongs to; every other pair is no match.
// 6: fiducials; 13: laser power thresholds; 24: autofocus; 33/34: unstable laser power;
// 35, 38, 41, 44, 47: laser specification and calibration groups; 50: all of 12108-12120.
const Membership kMembers[] = {
    {566, {51}},
    {603, {26}},
    {631, {25}},
    {645, {27}},
    {646, {28}},
    {650, {31}},
    {651, {29}},
    {652, {29}},
    {653, {29}},
    {4109, {30}},
    {4145, {14, 24}},
    {4146, {15, 24}},
    {4147, {0, 6}},
    {4148, {1, 6}},
    {4149, {2, 6}},
    {4150, {3, 6}},
    {4151, {4, 6}},
    {4154, {6}},
    {4161, {23, 24}},
    {4162, {32}},
    {8212, {7, 13}},
    {8213, {8, 13}},
    {8214, {9, 13}},
    {8215, {10, 13}},
    {8216, {11, 13}},
    {8217, {12, 13}},
    {10753, {16, 24}},
    {10754, {17, 24}},
    {10816, {18, 24}},
    {10832, {19, 24}},
    {10833, {20, 24}},
    {10834, {21, 24}},
    {10835, {22, 24}},
    {12108, {36, 35, 50}},
    {12109, {39, 38, 50}},
    {12110, {37, 35, 50}},
    {12111, {40, 38, 50}},
    {12112, {48, 49, 47, 50}},
    {12113, {48, 47, 50}},
    {12114, {49, 47, 50}},
    {12115, {42, 43, 41, 50}},
    {12116, {43, 41, 50}},
    {12117, {42, 41, 50}},
    {12118, {45, 46, 44, 50}},
    {12119, {46, 44, 50}},
    {12120, {45, 44, 50}},
    {12121, {33, 34}},
    {12122, {33, 34}},
};

// The ids IScanLL does not classify.
const int kScanCtrlOnly[] = {566, 650, 651, 652, 653, 4161, 4162};

}  // namespace

bool IsErrorOfClass(int id, unsigned errorClass, ErrorClassTable table) {
  const bool scanCtrlOnly =
      std::find(std::begin(kScanCtrlOnly), std::end(kScanCtrlOnly), id) != std::end(kScanCtrlOnly);
  if (table == ErrorClassTable::kScanLL && scanCtrlOnly) return false;
  const auto row =
      std::find_if(std::begin(kMembers), std::end(kMembers), [&](const Membership& m) { return m.id == id; });
  return row != std::end(kMembers) &&
         std::find(row->classes.begin(), row->classes.end(), errorClass) != row->classes.end();
}

HRESULT CScanCtrl::CheckErrorCode(int iErrorCode, unsigned errorSymbol, BOOL32* pbMatch) {
  if (pbMatch) *pbMatch = IsErrorOfClass(iErrorCode, errorSymbol, ErrorClassTable::kScanCtrl) ? 1 : 0;
  return platform::com::S_OK;
}
