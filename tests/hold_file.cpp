// hold_file PATTERN MILLISECONDS [lock]: once a file that matches PATTERN appears, holds it open
// without delete sharing for that long, as a virus scanner or an indexer holds a new file, and
// with "lock" holds a lock over the whole of it too. Says "ready" when it starts looking and
// "held" once it holds it; status 1 when no such file appeared within 30 seconds.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t *argv[]) {
  if (argc != 3 && argc != 4) {
    return 2;
  }
  const std::wstring pattern = argv[1];
  const std::wstring folder = pattern.substr(0, pattern.find_last_of(L'\\') + 1);
  std::fputs("ready\n", stdout);
  std::fflush(stdout);
  for (const ULONGLONG end = ::GetTickCount64() + 30000; ::GetTickCount64() < end;) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
    const HANDLE file =
        search == INVALID_HANDLE_VALUE || ::FindClose(search) == 0
            ? INVALID_HANDLE_VALUE
            : ::CreateFileW((folder + found.cFileName).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    OVERLAPPED whole{};
    if (file != INVALID_HANDLE_VALUE &&
        (argc == 3 || ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0)) {
      std::fputs("held\n", stdout);
      std::fflush(stdout);
      ::Sleep(std::wcstoul(argv[2], nullptr, 10));
      ::CloseHandle(file);
      return 0;
    }
  }
  return 1;
}
