// SPDX-License-Identifier: Apache-2.0
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <corecrt_startup.h>

#include <atomic>

#include "files/files.hpp"
#include "files/windows_acl.hpp"
#include "process.hpp"

// Error reporting's flags for this process, from kernel32 (MinGW's werapi.h,
// which declares it, does not compile).
extern "C" HRESULT WINAPI WerSetFlags(DWORD flags);

// The C runtime hands main the arguments as they are: no wildcard is expanded,
// or a passphrase with '*' or '?' in it would become the names of files.
extern "C" {
int _dowildcard = 0;
}

namespace cryptdriver {

namespace {

using cryptcore::Trustee;

// Keeps the heap out of the dump that error reporting makes of a crash
// (WER_FAULT_REPORTING_FLAG_NOHEAP, which MinGW's werapi.h lacks).
constexpr DWORD kWerReportWithoutHeap = 1;

// What the user's other processes may still do to this process and its main
// thread: wait for them, see them in a process list, end the process. Not
// read or write its memory, start a thread in it, or read a thread's
// registers, which hold round keys while the cipher runs.
constexpr DWORD kProcessRightsForOthers =
    SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;
constexpr DWORD kThreadRightsForOthers = SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION;

cryptcore::CipherWorkspace* stopped_workspace = nullptr;

// A crash ends the process with its exception code, as it would anyway, but
// at once: before error reporting, or a debugger registered to start on a
// crash, could copy its memory.
LONG WINAPI end_at_once(EXCEPTION_POINTERS* exception) {
  TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

// Windows calls this on a thread of its own for every console event (Ctrl-C,
// Ctrl-Break, the console closing, logoff, shutdown), each of which ends a
// console program that does not handle it; one the caller ignores never
// comes here. The run's partial output is taken back first: cut at a chunk
// boundary, it would decrypt without complaint to a truncated plaintext. An
// output in the middle of its opening is waited for, so that it is taken back
// too, rather than left behind created or emptied.
BOOL WINAPI end_run(DWORD) {
  static std::atomic_flag ending;
  if (!ending.test_and_set()) {
    cryptcore::block_output_openings();
    if (cryptcore::discard_unfinished_output(*stopped_workspace) ==
        cryptcore::RunOutput::Complete) {
      // The output is whole and the run about to exit 0: that stands, so
      // that a caller never sees a failure beside a whole output.
      Sleep(INFINITE);
    }
    // Ended as Windows ends a console program on Ctrl-C, so the caller sees
    // STATUS_CONTROL_C_EXIT; through TerminateProcess, since ExitProcess runs
    // the DLLs' detach code, which could wait for a lock the stopped run holds.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  }
  // An earlier event is ending the process.
  Sleep(INFINITE);
  return TRUE;
}

// Gives the kernel object `object` of this process an ACL that lets the
// user's other processes open it with `rights_for_others` only, and SYSTEM
// with every right. The entry for OWNER RIGHTS takes from the owner the right
// to change the ACL, which owners otherwise always keep.
void restrict_access(HANDLE object, DWORD rights_for_others, DWORD all_rights) {
  cryptcore::AllowList acl({{Trustee::OwnerRights, rights_for_others},
                            {Trustee::User, rights_for_others},
                            {Trustee::System, all_rights}});
  if (acl.get() != nullptr) {
    SetSecurityInfo(object, SE_KERNEL_OBJECT,
                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                    nullptr, acl.get(), nullptr);
  }
}

}  // namespace

void harden_process() {
  SetErrorMode(GetErrorMode() | SEM_NOGPFAULTERRORBOX);
  WerSetFlags(kWerReportWithoutHeap);
  SetUnhandledExceptionFilter(end_at_once);
  restrict_access(GetCurrentProcess(), kProcessRightsForOthers, PROCESS_ALL_ACCESS);
  restrict_access(GetCurrentThread(), kThreadRightsForOthers, THREAD_ALL_ACCESS);
}

void take_output_back_when_stopped(cryptcore::CipherWorkspace& workspace) {
  stopped_workspace = &workspace;
  SetConsoleCtrlHandler(end_run, TRUE);
}

void blank_command_line() {
  blank_arguments(GetCommandLineA());
  blank_arguments(GetCommandLineW());
  // The C runtime may keep copies of its own (Wine's does).
  blank_arguments(*__p__acmdln());
  blank_arguments(*__p__wcmdln());
}

}  // namespace cryptdriver
