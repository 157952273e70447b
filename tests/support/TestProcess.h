// Child processes and small file helpers for tests: processes start without a shell
// and are killed and reaped when their owner goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tvbtest {

namespace fs = std::filesystem;

// A child process started without a shell; killed and reaped on destruction.
class Process {
public:
    Process() = default;
    Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const fs::path& outputFile = {});
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;

    pid_t Pid() const { return mPid; }
    bool Running();
    void Signal(int signal) const;
    // The exit status (or 128 + signal); -1 when it did not end in time.
    int Wait(std::chrono::milliseconds timeout);

private:
    void KillAndReap();

    pid_t mPid = -1;
    int mStatus = -1;
};

struct CommandResult {
    int status = -1;
    std::string output;
};

// Runs a program to its end, capturing standard output.
CommandResult Run(const std::vector<std::string>& argv,
                  const std::map<std::string, std::string>& env,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& bytes);

} // namespace tvbtest
