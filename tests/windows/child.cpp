#include "child.h"

#include <windows.h>

#include <thread>

namespace zorwin {

std::string ProgramDirectory()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, n);
    return p.substr(0, p.find_last_of("\\/") + 1);
}

ChildRun RunChild(const std::string &program, double seconds, const char *variable, const std::string &value)
{
    ChildRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, inRead, inWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0))
        return run;
    if (!CreatePipe(&inRead, &inWrite, &inherit, 0)) {
        CloseHandle(outRead);
        CloseHandle(outWrite);
        return run;
    }
    // Only the child's ends are inherited; closing the write end of its
    // standard input leaves it at end of input.
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    CloseHandle(inWrite);
    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = nul;
    PROCESS_INFORMATION process = {};
    std::string commandLine = "\"" + program + "\"";
    std::string previous;
    bool hadPrevious = false;
    if (variable != nullptr) {
        char buffer[4096];
        DWORD n = GetEnvironmentVariableA(variable, buffer, sizeof buffer);
        hadPrevious = n > 0 && n < sizeof buffer;
        if (hadPrevious)
            previous.assign(buffer, n);
        SetEnvironmentVariableA(variable, value.c_str());
    }
    run.started = CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &process);
    if (variable != nullptr)
        SetEnvironmentVariableA(variable, hadPrevious ? previous.c_str() : nullptr);
    CloseHandle(outWrite);
    CloseHandle(inRead);
    CloseHandle(nul);
    if (!run.started) {
        CloseHandle(outRead);
        return run;
    }

    std::thread reader([&] {
        char buffer[512];
        DWORD n;
        while (ReadFile(outRead, buffer, sizeof buffer, &n, nullptr) && n > 0)
            run.output.append(buffer, n);
    });
    run.finished = WaitForSingleObject(process.hProcess, (DWORD)(seconds * 1000)) == WAIT_OBJECT_0;
    if (!run.finished) {
        TerminateProcess(process.hProcess, 255);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    reader.join();
    CloseHandle(outRead);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return run;
}

bool SameLines(const std::string &output, const std::string &expected)
{
    if (output == expected)
        return true;
    std::string converted;
    for (char c : expected) {
        if (c == '\n')
            converted += '\r';
        converted += c;
    }
    return output == converted;
}

}  // namespace zorwin
