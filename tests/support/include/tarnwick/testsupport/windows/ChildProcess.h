// The runner on Windows: CreateProcessW with a pipe on each side and a
// thread per output stream draining it as it fills.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <utility>

#include <gtest/gtest.h>

namespace tarnwick::testsupport {

class ChildProcess : public ChildOutput {
public:
    ChildProcess(const std::vector<std::string>& argv, ChildOptions options = {})
        : ChildProcess(widened(argv), std::move(options))
    {
    }

    // Arguments as Windows passes them, so that no name is lost to a code page.
    ChildProcess(const std::vector<std::wstring>& argv, ChildOptions options = {})
    {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE inRead = nullptr, outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
        if (options.inputFile) {
            inRead = ::CreateFileW(options.inputFile->c_str(), GENERIC_READ, FILE_SHARE_READ, &inheritable,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        } else if (::CreatePipe(&inRead, &input, &inheritable, 0)) {
            ::SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
        }
        if (!::CreatePipe(&outRead, &outWrite, &inheritable, 0) || !::CreatePipe(&errRead, &errWrite, &inheritable, 0)) {
            throw std::runtime_error("no pipes");
        }
        ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inRead;
        startup.hStdOutput = outWrite;
        startup.hStdError = options.errorsToOutput ? outWrite : errWrite;

        std::wstring commandLine;
        for (const auto& argument : argv) commandLine += quoted(argument) + L" ";
        // Settings are inherited from this process, so they are made here for
        // the start and put back after.
        std::vector<std::pair<std::wstring, std::optional<std::wstring>>> previous;
        for (const auto& setting : options.environment) {
            const auto equals = setting.find('=');
            const std::wstring name = wide(setting.substr(0, equals));
            const wchar_t* was = ::_wgetenv(name.c_str());
            previous.emplace_back(name, was ? std::optional<std::wstring>(was) : std::nullopt);
            ::SetEnvironmentVariableW(name.c_str(), wide(setting.substr(equals + 1)).c_str());
        }
        const std::wstring folder = options.workingFolder.native();
        const BOOL started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                              options.creationFlags, nullptr, folder.empty() ? nullptr : folder.c_str(),
                                              &startup, &process);
        const DWORD error = ::GetLastError();
        for (const auto& [name, value] : previous) {
            ::SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : nullptr);
        }
        for (HANDLE handle : {inRead, outWrite, errWrite}) {
            if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
        }
        collect(standardOutput, outRead);
        collect(standardError, errRead);
        if (!started) {
            closeInput();
            join(standardOutput);
            join(standardError);
            throw std::runtime_error("cannot start " + std::filesystem::path(argv.at(0)).string() + ": error " +
                                     std::to_string(error));
        }
    }

    ~ChildProcess()
    {
        if (process.hProcess != nullptr) {
            ::TerminateProcess(process.hProcess, 255);
            ::WaitForSingleObject(process.hProcess, INFINITE);
            ::CloseHandle(process.hThread);
            ::CloseHandle(process.hProcess);
        }
        closeInput();
        join(standardOutput);
        join(standardError);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    DWORD pid() const { return process.dwProcessId; }

    void send(std::string_view text)
    {
        DWORD written = 0;
        if (text.empty()) return;
        ASSERT_TRUE(::WriteFile(input, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
            << "the program stopped reading";
        ASSERT_EQ(written, text.size());
    }

    void closeInput()
    {
        if (input != nullptr) ::CloseHandle(std::exchange(input, nullptr));
    }

    // Returns the exit code once the program has ended and its outputs are
    // read; -1 if it still runs at the deadline.
    int finish(std::chrono::milliseconds deadline = std::chrono::seconds(60))
    {
        if (::WaitForSingleObject(process.hProcess, static_cast<DWORD>(deadline.count())) != WAIT_OBJECT_0) {
            return -1;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(process.hProcess, &code);
        ::CloseHandle(process.hThread);
        ::CloseHandle(std::exchange(process.hProcess, nullptr));
        join(standardOutput);
        join(standardError);
        return static_cast<int>(code);
    }

private:
    static std::wstring wide(const std::string& narrow)
    {
        std::wstring text(narrow.size(), L'\0');
        text.resize(static_cast<std::size_t>(::MultiByteToWideChar(
            CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), text.data(), static_cast<int>(text.size()))));
        return text;
    }

    static std::vector<std::wstring> widened(const std::vector<std::string>& argv)
    {
        std::vector<std::wstring> wide;
        for (const auto& argument : argv) wide.push_back(ChildProcess::wide(argument));
        return wide;
    }

    // One argument as CommandLineToArgvW reads it back.
    static std::wstring quoted(const std::wstring& argument)
    {
        std::wstring result = L"\"";
        std::size_t backslashes = 0;
        for (const wchar_t c : argument) {
            if (c == L'\\') {
                ++backslashes;
                continue;
            }
            result.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
            backslashes = 0;
            result += c;
        }
        result.append(2 * backslashes, L'\\');
        return result + L"\"";
    }

    void collect(Stream& stream, HANDLE pipe)
    {
        ChildOutput::collect(
            stream,
            [pipe](char* buffer, std::size_t size) -> long {
                DWORD length = 0;
                return ::ReadFile(pipe, buffer, static_cast<DWORD>(size), &length, nullptr) ? long(length) : -1;
            },
            [pipe] { ::CloseHandle(pipe); });
    }

    PROCESS_INFORMATION process{};
    HANDLE input = nullptr;
};

}  // namespace tarnwick::testsupport
