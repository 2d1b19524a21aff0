#pragma once
// The C interface of the board's USB library as the data port binds it at run time (by
// name, from a library loaded by path). Only the entries the port calls carry a meaning
// it relies on (FrontPanel.h says which); the others are bound so that a library lacking
// them is noticed, and are never called.
//
// Every entry returning ok_ErrorCode gives 0 for success or one of the negative codes
// that CScanDataPort::GetOKErrCodeString names. Text outputs (serials, device id,
// version) go into caller buffers of kOkTextBufferSize characters, NUL-terminated.

extern "C" {
typedef struct okBoardObject* okBoardHandle;
typedef struct okClock22150Object* okClock22150Handle;
typedef struct okClock22393Object* okClock22393Handle;
typedef int ok_ErrorCode;
}

inline constexpr int kOkTextBufferSize = 32;

// X(name, return type, parameter list), in the order the port binds them.
#define OK_FRONTPANEL_ENTRIES(X)                                                                             \
  X(okFrontPanelDLL_GetVersion, int, (char* text, int size))                                                 \
  X(okPLL22150_Construct, okClock22150Handle, (void))                                                        \
  X(okPLL22150_Destruct, void, (okClock22150Handle pll))                                                     \
  X(okPLL22150_SetCrystalLoad, void, (okClock22150Handle pll, double capacitance))                           \
  X(okPLL22150_SetReference, void, (okClock22150Handle pll, double freq, int external))                      \
  X(okPLL22150_GetReference, double, (okClock22150Handle pll))                                               \
  X(okPLL22150_SetVCOParameters, int, (okClock22150Handle pll, int p, int q))                                \
  X(okPLL22150_GetVCOP, int, (okClock22150Handle pll))                                                       \
  X(okPLL22150_GetVCOQ, int, (okClock22150Handle pll))                                                       \
  X(okPLL22150_GetVCOFrequency, double, (okClock22150Handle pll))                                            \
  X(okPLL22150_SetDiv1, void, (okClock22150Handle pll, int source, int divider))                             \
  X(okPLL22150_SetDiv2, void, (okClock22150Handle pll, int source, int divider))                             \
  X(okPLL22150_GetDiv1Source, int, (okClock22150Handle pll))                                                 \
  X(okPLL22150_GetDiv2Source, int, (okClock22150Handle pll))                                                 \
  X(okPLL22150_GetDiv1Divider, int, (okClock22150Handle pll))                                                \
  X(okPLL22150_GetDiv2Divider, int, (okClock22150Handle pll))                                                \
  X(okPLL22150_SetOutputSource, void, (okClock22150Handle pll, int output, int source))                      \
  X(okPLL22150_SetOutputEnable, void, (okClock22150Handle pll, int output, int enable))                      \
  X(okPLL22150_GetOutputSource, int, (okClock22150Handle pll, int output))                                   \
  X(okPLL22150_GetOutputFrequency, double, (okClock22150Handle pll, int output))                             \
  X(okPLL22150_IsOutputEnabled, int, (okClock22150Handle pll, int output))                                   \
  X(okPLL22150_InitFromProgrammingInfo, void, (okClock22150Handle pll, const unsigned char* info))           \
  X(okPLL22150_GetProgrammingInfo, void, (okClock22150Handle pll, unsigned char* info))                      \
  X(okPLL22393_Construct, okClock22393Handle, (void))                                                        \
  X(okPLL22393_Destruct, void, (okClock22393Handle pll))                                                     \
  X(okPLL22393_SetCrystalLoad, void, (okClock22393Handle pll, double capacitance))                           \
  X(okPLL22393_SetReference, void, (okClock22393Handle pll, double freq))                                    \
  X(okPLL22393_GetReference, double, (okClock22393Handle pll))                                               \
  X(okPLL22393_SetPLLParameters, int, (okClock22393Handle pll, int n, int p, int q, int enable))             \
  X(okPLL22393_SetPLLLF, int, (okClock22393Handle pll, int n, int lf))                                       \
  X(okPLL22393_SetOutputDivider, int, (okClock22393Handle pll, int n, int divider))                          \
  X(okPLL22393_SetOutputSource, int, (okClock22393Handle pll, int n, int source))                            \
  X(okPLL22393_SetOutputEnable, void, (okClock22393Handle pll, int n, int enable))                           \
  X(okPLL22393_GetPLLP, int, (okClock22393Handle pll, int n))                                                \
  X(okPLL22393_GetPLLQ, int, (okClock22393Handle pll, int n))                                                \
  X(okPLL22393_GetPLLFrequency, double, (okClock22393Handle pll, int n))                                     \
  X(okPLL22393_GetOutputDivider, int, (okClock22393Handle pll, int n))                                       \
  X(okPLL22393_GetOutputSource, int, (okClock22393Handle pll, int n))                                        \
  X(okPLL22393_GetOutputFrequency, double, (okClock22393Handle pll, int n))                                  \
  X(okPLL22393_IsOutputEnabled, int, (okClock22393Handle pll, int n))                                        \
  X(okPLL22393_IsPLLEnabled, int, (okClock22393Handle pll, int n))                                           \
  X(okPLL22393_InitFromProgrammingInfo, void, (okClock22393Handle pll, const unsigned char* info))           \
  X(okPLL22393_GetProgrammingInfo, void, (okClock22393Handle pll, unsigned char* info))                      \
  X(okUsbFrontPanel_Construct, okBoardHandle, (void))                                                        \
  X(okUsbFrontPanel_Destruct, void, (okBoardHandle board))                                                   \
  X(okUsbFrontPanel_Has16BitHostInterface, int, (okBoardHandle board))                                       \
  X(okUsbFrontPanel_IsHighSpeed, int, (okBoardHandle board))                                                 \
  X(okUsbFrontPanel_GetBoardModel, int, (okBoardHandle board))                                               \
  X(okUsbFrontPanel_WriteI2C, ok_ErrorCode,                                                                  \
    (okBoardHandle board, int addr, int length, const unsigned char* data))                                  \
  X(okUsbFrontPanel_ReadI2C, ok_ErrorCode, (okBoardHandle board, int addr, int length, unsigned char* data)) \
  X(okUsbFrontPanel_GetDeviceCount, int, (okBoardHandle board))                                              \
  X(okUsbFrontPanel_GetDeviceListModel, int, (okBoardHandle board, int index))                               \
  X(okUsbFrontPanel_GetDeviceListSerial, void, (okBoardHandle board, int index, char* serial))               \
  X(okUsbFrontPanel_OpenBySerial, ok_ErrorCode, (okBoardHandle board, const char* serial))                   \
  X(okUsbFrontPanel_IsOpen, int, (okBoardHandle board))                                                      \
  X(okUsbFrontPanel_SetTimeout, void, (okBoardHandle board, int milliseconds))                               \
  X(okUsbFrontPanel_EnableAsynchronousTransfers, void, (okBoardHandle board, int enable))                    \
  X(okUsbFrontPanel_GetDeviceMajorVersion, int, (okBoardHandle board))                                       \
  X(okUsbFrontPanel_GetDeviceMinorVersion, int, (okBoardHandle board))                                       \
  X(okUsbFrontPanel_ResetFPGA, ok_ErrorCode, (okBoardHandle board))                                          \
  X(okUsbFrontPanel_GetSerialNumber, void, (okBoardHandle board, char* serial))                              \
  X(okUsbFrontPanel_GetDeviceID, void, (okBoardHandle board, char* id))                                      \
  X(okUsbFrontPanel_SetDeviceID, void, (okBoardHandle board, const char* id))                                \
  X(okUsbFrontPanel_ConfigureFPGA, ok_ErrorCode, (okBoardHandle board, const char* bitFile))                 \
  X(okUsbFrontPanel_ConfigureFPGAFromMemory, ok_ErrorCode,                                                   \
    (okBoardHandle board, const unsigned char* data, unsigned long length))                                  \
  X(okUsbFrontPanel_GetPLL22150Configuration, ok_ErrorCode, (okBoardHandle board, okClock22150Handle pll))   \
  X(okUsbFrontPanel_SetPLL22150Configuration, ok_ErrorCode, (okBoardHandle board, okClock22150Handle pll))   \
  X(okUsbFrontPanel_GetEepromPLL22150Configuration, ok_ErrorCode,                                            \
    (okBoardHandle board, okClock22150Handle pll))                                                           \
  X(okUsbFrontPanel_SetEepromPLL22150Configuration, ok_ErrorCode,                                            \
    (okBoardHandle board, okClock22150Handle pll))                                                           \
  X(okUsbFrontPanel_GetPLL22393Configuration, ok_ErrorCode, (okBoardHandle board, okClock22393Handle pll))   \
  X(okUsbFrontPanel_SetPLL22393Configuration, ok_ErrorCode, (okBoardHandle board, okClock22393Handle pll))   \
  X(okUsbFrontPanel_GetEepromPLL22393Configuration, ok_ErrorCode,                                            \
    (okBoardHandle board, okClock22393Handle pll))                                                           \
  X(okUsbFrontPanel_SetEepromPLL22393Configuration, ok_ErrorCode,                                            \
    (okBoardHandle board, okClock22393Handle pll))                                                           \
  X(okUsbFrontPanel_LoadDefaultPLLConfiguration, ok_ErrorCode, (okBoardHandle board))                        \
  X(okUsbFrontPanel_IsFrontPanelEnabled, int, (okBoardHandle board))                                         \
  X(okUsbFrontPanel_IsFrontPanel3Supported, int, (okBoardHandle board))                                      \
  X(okUsbFrontPanel_UpdateWireIns, void, (okBoardHandle board))                                              \
  X(okUsbFrontPanel_SetWireInValue, ok_ErrorCode,                                                            \
    (okBoardHandle board, int ep, unsigned value, unsigned mask))                                            \
  X(okUsbFrontPanel_UpdateWireOuts, void, (okBoardHandle board))                                             \
  X(okUsbFrontPanel_GetWireOutValue, int, (okBoardHandle board, int ep))                                     \
  X(okUsbFrontPanel_ActivateTriggerIn, ok_ErrorCode, (okBoardHandle board, int ep, int bit))                 \
  X(okUsbFrontPanel_UpdateTriggerOuts, void, (okBoardHandle board))                                          \
  X(okUsbFrontPanel_IsTriggered, int, (okBoardHandle board, int ep, int mask))                               \
  X(okUsbFrontPanel_GetLastTransferLength, long, (okBoardHandle board))                                      \
  X(okUsbFrontPanel_WriteToPipeIn, long,                                                                     \
    (okBoardHandle board, int ep, long length, const unsigned char* data))                                   \
  X(okUsbFrontPanel_WriteToBlockPipeIn, long,                                                                \
    (okBoardHandle board, int ep, int blockSize, long length, const unsigned char* data))                    \
  X(okUsbFrontPanel_ReadFromPipeOut, long, (okBoardHandle board, int ep, long length, unsigned char* data))  \
  X(okUsbFrontPanel_ReadFromBlockPipeOut, long,                                                              \
    (okBoardHandle board, int ep, int blockSize, long length, unsigned char* data))

// The number of entries bound (for checks at compile time).
#define OK_FRONTPANEL_COUNT_ONE(name, ret, params) +1
inline constexpr int kOkFrontPanelEntryCount = 0 OK_FRONTPANEL_ENTRIES(OK_FRONTPANEL_COUNT_ONE);
#undef OK_FRONTPANEL_COUNT_ONE
static_assert(kOkFrontPanelEntryCount == 88, "the port binds 88 entry points");
