// dumpreader: prints a crash dump written by the fatal-signal handlers: the
// signal, its code and address, the process and thread, the registers, the
// return addresses (each with the mapped file and offset it falls in), the
// mappings and, for a full dump, the memory ranges it holds. The file is
// untrusted: every length is checked against what is left before it is used.
// Usage: dumpreader DUMP
#include "platform/crashdump.h"

#include <cstring>
#include <ctime>
#include <elf.h>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <signal.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum {
    kMaxText = 16 * 1024 * 1024, // longest program path or maps copy read
    kMaxRegisters = 64,
};

const char *const kX86Registers[] = {
    "r8",  "r9",  "r10", "r11", "r12", "r13", "r14",    "r15", "rdi",    "rsi",     "rbp", "rbx",
    "rdx", "rax", "rcx", "rsp", "rip", "efl", "csgsfs", "err", "trapno", "oldmask", "cr2"};

// prefix followed by the number in decimal (built in a stream: GCC 12 at -O3
// warns falsely on the string concatenation).
std::string Join(const char *prefix, int64_t number) {
    std::ostringstream out;
    out << prefix << number;
    return out.str();
}

std::string Hex(uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << std::setw(16) << std::setfill('0') << value;
    return out.str();
}

std::string SignalName(int signal) {
    switch (signal) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGILL:
        return "SIGILL";
    case SIGFPE:
        return "SIGFPE";
    case SIGABRT:
        return "SIGABRT";
    default:
        return Join("signal ", signal);
    }
}

std::string RegisterName(uint32_t machine, size_t index) {
    if (machine == EM_X86_64 && index < sizeof(kX86Registers) / sizeof(kX86Registers[0]))
        return kX86Registers[index];
    if (machine == EM_AARCH64) {
        if (index < 31)
            return Join("x", index);
        const char *const rest[] = {"sp", "pc", "pstate"};
        if (index < 34)
            return rest[index - 31];
    }
    return Join("r", index);
}

struct Mapping {
    uint64_t start, end, offset;
    std::string path;
};

// The maps text's lines as ranges; lines that do not parse are skipped.
std::vector<Mapping> ParseMaps(const std::string &text) {
    std::vector<Mapping> maps;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string range, perms, offset, device, inode, path;
        if (!(fields >> range >> perms >> offset >> device >> inode))
            continue;
        std::getline(fields >> std::ws, path);
        size_t dash = range.find('-');
        if (dash == std::string::npos)
            continue;
        try {
            maps.push_back({std::stoull(range.substr(0, dash), nullptr, 16),
                            std::stoull(range.substr(dash + 1), nullptr, 16),
                            std::stoull(offset, nullptr, 16), path});
        } catch (const std::exception &) {
            continue;
        }
    }
    return maps;
}

std::string Where(const std::vector<Mapping> &maps, uint64_t address) {
    for (const Mapping &m : maps)
        if (address >= m.start && address < m.end && !m.path.empty()) {
            std::ostringstream out;
            out << m.path << "+0x" << std::hex << (address - m.start + m.offset);
            return out.str();
        }
    return "?";
}

std::vector<uint64_t> Words(const std::string &bytes) {
    std::vector<uint64_t> words(bytes.size() / 8);
    if (!words.empty())
        memcpy(words.data(), bytes.data(), words.size() * 8);
    return words;
}

int Fail(const std::string &path, const std::string &why) {
    std::cerr << "dumpreader: " << path << ": " << why << "\n";
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::cerr << "usage: dumpreader DUMP\n";
        return 2;
    }
    const std::string path = argv[1];
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Fail(path, "cannot be opened");
    in.seekg(0, std::ios::end);
    const uint64_t size = (uint64_t)in.tellg();
    in.seekg(0);
    CrashDumpHeader header;
    if (size < sizeof(header) || !in.read(reinterpret_cast<char *>(&header), sizeof(header)))
        return Fail(path, "shorter than a dump header");
    if (memcmp(header.Magic, CRASHDUMP_MAGIC, sizeof(CRASHDUMP_MAGIC)) != 0)
        return Fail(path, "not a crash dump");
    if (header.Version != CRASHDUMP_VERSION || header.HeaderSize != sizeof(header))
        return Fail(path, Join("dump version ", header.Version) + " not known");

    std::cout << "signal " << header.Signal << " (" << SignalName(header.Signal) << ") code "
              << header.Code << "\n";
    if (header.Code <= 0)
        std::cout << "sent by process " << header.SenderPid << "\n";
    else
        std::cout << "address " << Hex(header.Address) << "\n";
    std::cout << "process " << header.Pid << " thread " << header.Tid << "\n";
    time_t seconds = (time_t)header.Seconds;
    struct tm when;
    char stamp[64] = "?";
    if (gmtime_r(&seconds, &when) != nullptr)
        strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S UTC", &when);
    std::cout << "time " << stamp << "\n";
    std::cout << "type " << (header.Type == CRASHDUMP_TYPE_FULL ? "full" : "normal") << "\n";

    std::string program;
    std::vector<uint64_t> registers, frames;
    std::string maps;
    std::vector<std::pair<uint64_t, uint64_t>> memory;
    uint64_t at = sizeof(header);
    while (at < size) {
        CrashDumpSection section;
        if (size - at < sizeof(section) ||
            !in.read(reinterpret_cast<char *>(&section), sizeof(section)))
            return Fail(path, Join("section header cut short at ", at));
        at += sizeof(section);
        if (section.Length > size - at)
            return Fail(path, Join("section longer than the file at ", at));
        if (section.Kind == CRASHDUMP_SECTION_MEMORY) {
            uint64_t range[2];
            if (section.Length < sizeof(range) ||
                !in.read(reinterpret_cast<char *>(range), sizeof(range)) || range[1] < range[0] ||
                range[1] - range[0] != section.Length - sizeof(range))
                return Fail(path, Join("memory section malformed at ", at));
            memory.emplace_back(range[0], range[1]);
            in.seekg((std::streamoff)(at + section.Length));
        } else {
            if (section.Length > kMaxText)
                return Fail(path, Join("section too long at ", at));
            std::string bytes(section.Length, '\0');
            if (!in.read(bytes.data(), (std::streamsize)section.Length))
                return Fail(path, Join("section cut short at ", at));
            if (section.Kind == CRASHDUMP_SECTION_PROGRAM)
                program = bytes;
            else if (section.Kind == CRASHDUMP_SECTION_REGISTERS)
                registers = Words(bytes);
            else if (section.Kind == CRASHDUMP_SECTION_FRAMES)
                frames = Words(bytes);
            else if (section.Kind == CRASHDUMP_SECTION_MAPS)
                maps = bytes;
        }
        at += section.Length;
    }

    std::vector<Mapping> mappings = ParseMaps(maps);
    std::cout << "program " << program << "\n";
    std::cout << "registers\n";
    for (size_t i = 0; i < registers.size() && i < kMaxRegisters; i++)
        std::cout << "  " << std::left << std::setw(8) << RegisterName(header.Machine, i)
                  << std::right << Hex(registers[i]) << "\n";
    std::cout << "frames\n";
    for (size_t i = 0; i < frames.size(); i++)
        std::cout << "  #" << i << " " << Hex(frames[i]) << " " << Where(mappings, frames[i])
                  << "\n";
    std::cout << "maps\n" << maps;
    if (!maps.empty() && maps.back() != '\n')
        std::cout << "\n";
    if (header.Type == CRASHDUMP_TYPE_FULL) {
        std::cout << "memory\n";
        for (const auto &range : memory)
            std::cout << "  " << Hex(range.first) << "-" << Hex(range.second) << " "
                      << (range.second - range.first) << " bytes\n";
    }
    return 0;
}
