// A sample backup application for the button poller. Opened with the launch file
// as its one argument, it reads the drive's serial and volume names, copies the
// folder $TVB_BACKUP_SOURCE (default ~/ToBackUp) into ~/Backups/<first volume>/,
// writes the end file "EndBackup" beside the launch file and quits.
//
// Environment (inherited from whoever launched the poller):
//   TVB_BACKUP_SECONDS  how long the backup pretends to take (default 1)
//   TVB_BACKUP_MODE     end (default) | quit (no end file) | stay (run until killed) | crash
//   TVB_BACKUP_LOG      file that receives a line per step, for the demo and tests
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void Narrate(const std::string& line) {
    const char* path = std::getenv("TVB_BACKUP_LOG");
    if (path == nullptr || *path == '\0')
        return;
    std::ofstream log(path, std::ios::app);
    log << "SampleBackup[" << getpid() << "]: " << line << '\n';
}

struct LaunchFile {
    std::string serial;
    std::vector<std::string> volumes;
};

// The poller writes the serial, CR LF, then each volume name followed by CR LF.
bool ReadLaunchFile(const std::string& path, LaunchFile& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    size_t start = 0;
    bool first = true;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string line = text.substr(start, end - start);
        if (first)
            out.serial = line;
        else
            out.volumes.push_back(line);
        first = false;
    }
    return !first;
}

// Volume names come from the drive; keep them to one safe path component.
std::string SafeComponent(std::string name) {
    for (char& c : name)
        if (c == '/' || c == '\0')
            c = '_';
    if (name.empty() || name == "." || name == "..")
        name = "Volume";
    return name;
}

int CopyFolder(const fs::path& source, const fs::path& target) {
    std::error_code ec;
    if (!fs::is_directory(source, ec))
        return 0;
    fs::create_directories(target, ec);
    int copied = 0;
    for (const auto& entry : fs::recursive_directory_iterator(source, ec)) {
        fs::path destination = target / fs::relative(entry.path(), source, ec);
        if (entry.is_directory(ec)) {
            fs::create_directories(destination, ec);
        } else if (entry.is_regular_file(ec)) {
            fs::copy_file(entry.path(), destination, fs::copy_options::overwrite_existing, ec);
            if (!ec)
                ++copied;
        }
    }
    return copied;
}

bool WriteEndFile(const fs::path& folder) {
    int fd = open((folder / "EndBackup").c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    static const char text[] = "backup finished\n";
    bool ok = write(fd, text, sizeof text - 1) == static_cast<ssize_t>(sizeof text - 1);
    return close(fd) == 0 && ok;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        Narrate("started without a launch file; nothing to do");
        return 2;
    }
    const std::string launchPath = argv[1];
    const char* modeText = std::getenv("TVB_BACKUP_MODE");
    const std::string mode = modeText ? modeText : "end";
    const char* secondsText = std::getenv("TVB_BACKUP_SECONDS");
    const double seconds = secondsText ? std::atof(secondsText) : 1.0;

    Narrate("started with " + launchPath);
    LaunchFile launch;
    if (!ReadLaunchFile(launchPath, launch)) {
        Narrate("cannot read the launch file");
        return 1;
    }
    std::string volumes;
    for (const auto& v : launch.volumes)
        volumes += (volumes.empty() ? "" : ", ") + v;
    Narrate("drive serial \"" + launch.serial +
            "\", volumes: " + (volumes.empty() ? "(none)" : volumes));

    if (mode == "crash") {
        Narrate("crashing on purpose");
        std::signal(SIGABRT, SIG_DFL);
        std::abort();
    }

    const char* home = std::getenv("HOME");
    const char* sourceText = std::getenv("TVB_BACKUP_SOURCE");
    fs::path source = sourceText ? fs::path(sourceText) : fs::path(home ? home : "/") / "ToBackUp";
    std::string volume = launch.volumes.empty() ? "Drive " + launch.serial : launch.volumes.front();
    fs::path target = fs::path(home ? home : "/tmp") / "Backups" / SafeComponent(volume);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    int copied = CopyFolder(source, target);
    Narrate("copied " + std::to_string(copied) + " file(s) from " + source.string() + " to " +
            target.string());

    if (mode == "stay") {
        Narrate("staying up until told to quit");
        for (;;)
            pause();
    }
    if (mode == "quit") {
        Narrate("quitting without an end file");
        return 0;
    }
    const fs::path folder = fs::path(launchPath).parent_path();
    if (WriteEndFile(folder))
        Narrate("wrote " + (folder / "EndBackup").string() + "; quitting");
    else
        Narrate("could not write the end file: " + std::string(std::strerror(errno)));
    return 0;
}
