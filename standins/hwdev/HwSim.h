// Control interface of the HwDev.dll terminal simulator: extra exports that a
// test (or a user trying the host without hardware) uses to set up terminals,
// force the library's answers and read back what the library was given.
// All functions are stdcall, exported undecorated from HwDev.dll.
#pragma once
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef HWDEV_BUILDING
#define HWSIM_API __declspec(dllexport) __stdcall
#else
#define HWSIM_API __declspec(dllimport) __stdcall
#endif

// The library functions, for forcing and for the call log.
enum HwSimFunc {
    HWSIM_IsDevExist = 0,
    HWSIM_RecvEmployeeFromDev,
    HWSIM_FreeEmployeeList,
    HWSIM_SendEmployeeToDev,
    HWSIM_RecvAllRcdFromDev,
    HWSIM_FreeRcdList,
    HWSIM_DelAllRcdOnDev,
    HWSIM_Initialize,
    HWSIM_GetDevTime,
    HWSIM_SetDevTime,
    HWSIM_FreeMem,
    HWSIM_FUNC_COUNT
};

// ---- Terminals -------------------------------------------------------------
// A terminal is keyed by its link (serial port number, or IP address text as
// the ANSI bytes the library receives) and its terminal number.
// The Add functions return a terminal id (>= 1), or 0 on bad input.
void HWSIM_API HwSim_Reset(void);  // no terminals, no forcing, empty log, leak counters zero, no file
int  HWSIM_API HwSim_AddSerialTerminal(int comPort, int machineNo);
int  HWSIM_API HwSim_AddNetTerminal(const char* ip, int machineNo);

// Punch records: 12 card-number bytes copied as given (not necessarily
// zero-terminated) and signed seconds since 1970-01-01 08:00:00.
BOOL HWSIM_API HwSim_AddPunch(int terminal, const unsigned char cardNo[12], int punchSeconds);
int  HWSIM_API HwSim_PunchCount(int terminal);  // -1 for an unknown terminal

// Employees: 12 number bytes and 50 text bytes copied as given, the flag, and
// the template bytes (tpl may be NULL when tplLength is 0).
BOOL HWSIM_API HwSim_AddEmployee(int terminal, const unsigned char employeeNo[12],
                                 const unsigned char employeeText[50], short recordFlag,
                                 const unsigned char* tpl, int tplLength);
int  HWSIM_API HwSim_EmployeeCount(int terminal);  // -1 for an unknown terminal
// Copies employee `index` out: its 156-byte record as the library would list
// it (TemplatePtr zero) and up to tplCapacity template bytes.
// Returns the template length, or -1 when there is no such employee.
int  HWSIM_API HwSim_GetEmployee(int terminal, int index, unsigned char record[156],
                                 unsigned char* tpl, int tplCapacity);

// ---- Forcing -----------------------------------------------------------------
// Each stays in force until HwSim_ClearForcing or HwSim_Reset.
void HWSIM_API HwSim_ForceResult(int func, int result);  // the function returns this value
// Receives only: report this count. When it exceeds the records the terminal
// holds and count * record size is at most 16 MiB, the list is padded with zero
// records; otherwise the list holds only the real records (a caller must not read
// past them: the count is a lie).
void HWSIM_API HwSim_ForceCount(int func, int count);
void HWSIM_API HwSim_ForceNullList(int func);           // receives only: list pointer NULL
void HWSIM_API HwSim_ForceNoOutput(int func);           // receives only: leave both outs untouched
void HWSIM_API HwSim_SetDelay(int func, int milliseconds); // sleep before answering
void HWSIM_API HwSim_ClearForcing(void);

// ---- Call log ----------------------------------------------------------------
typedef struct HwSimCall {
    int           func;          // HwSimFunc
    unsigned char address[52];   // byte copy of the DevAddress (zero for the frees)
    LONGLONG      qpcTime;       // QueryPerformanceCounter at entry
    int           result;        // what the function returned
    int           count;         // receives: count handed out; frees: count given back; send: count given
                                 // delete: punches erased
    const void*   list;          // receives: list handed out; frees: pointer given back
    int           progressCalls; // how often DevProgress was called during the call
    int           queryCalls;    // how often DevQuery was called during the call
    unsigned char flagByte;      // send: the flag byte received
    int           outValueBefore; // send: the out value as received (before the library wrote it)
} HwSimCall;

// Entries are appended when a call returns, so a call that a callback made
// during a transfer comes before the transfer itself.
int  HWSIM_API HwSim_CallCount(void);
BOOL HWSIM_API HwSim_GetCall(int index, HwSimCall* call);
// Records sent by HwDev_SendEmployeeToDev in call `index`: record `record`
// (156 bytes, as received, TemplatePtr included) and up to tplCapacity bytes
// of its template. Returns the template length (from TemplateLength), or -1.
int  HWSIM_API HwSim_GetSentRecord(int index, int record, unsigned char bytes[156],
                                   unsigned char* tpl, int tplCapacity);
void HWSIM_API HwSim_ClearLog(void);

// ---- Lists -------------------------------------------------------------------
int  HWSIM_API HwSim_OutstandingLists(void); // lists handed out and not yet given back
int  HWSIM_API HwSim_BadFrees(void);         // frees with an unknown pointer, wrong count or twice
// Callback calls that left their arguments on the stack (the callback is not
// stdcall) and DevQuery answers other than 0. Cleared by HwSim_Reset.
int  HWSIM_API HwSim_CallbackFaults(void);

// ---- Terminal file -----------------------------------------------------------
// Binds the simulator to a terminal file as happens at the start of a process
// (HWSIM_TERMINALS, else terminals.json beside HwDev.dll): its terminals take
// the place of the present ones (forcing and the log stay), and every change
// made through the library is saved to it. FALSE when the file cannot be read
// or is malformed: the simulator then has no terminals and HwSim_LoadError
// says why. HwSim_Reset unbinds the file.
BOOL HWSIM_API HwSim_LoadTerminalFile(const wchar_t* path);
// The last load's error, naming the file and the place; copies at most
// capacity - 1 characters and a terminator, and answers the full length (0: none).
int  HWSIM_API HwSim_LoadError(wchar_t* text, int capacity);

// ---- Answers of one terminal -------------------------------------------------
// HwDev_IsDevExist answers `answer` for that terminal instead of 1 (a terminal
// with a fault, or a library of another version). FALSE for an unknown terminal.
BOOL HWSIM_API HwSim_SetExistAnswer(int terminal, int answer);

// ---- Forcing single records ----------------------------------------------------
// Receives only: record `index` of the list handed out (after any padding of
// HwSim_ForceCount) is replaced by these recordSize bytes. For employee lists,
// a non-NULL tpl is handed out with the list and TemplatePtr points at it;
// with tpl NULL the record's TemplatePtr and TemplateLength stay as given, so
// a test can hand out impossible records. Cleared with the other forcing.
void HWSIM_API HwSim_ForceListRecord(int func, int index, const unsigned char* record, int recordSize,
                                     const unsigned char* tpl, int tplLength);

#ifdef __cplusplus
}
#endif
