// Fixture writer of patch stores, from the store format: an XML table of
// contents and numbered data files of zlib-compressed section records, with a
// data-file limit small enough that members cross from one file to the next.
#pragma once

#include "tests/patcher/delta_support.h"
#include "tests/support/support.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <zlib.h>

namespace storefixture {

struct Member {
    std::string name;
    std::string content;
    bool difference = false;
    std::string sourceHash; // 40 hex digits or empty
    std::string resultHash;
    int64_t resultSize = -1; // FileSize in the table: the result's size (-1: content's)
    // Filled by Build:
    int fileIndex = 0;
    int64_t offset = 0;
    int sectionCount = 0;
};

inline Member M(const std::string &name, const std::string &content, bool difference = false,
                const std::string &sourceHash = "", const std::string &resultHash = "") {
    Member m;
    m.name = name;
    m.content = content;
    m.difference = difference;
    m.sourceHash = sourceHash;
    m.resultHash = resultHash;
    return m;
}

// A difference member turning oldData into newData, made by xdelta3 (no
// secondary compression) in the folder `work`, with both digests.
inline Member DeltaMember(const testsupport::TempDir &work, const std::string &name,
                          const std::string &oldData, const std::string &newData) {
    testsupport::WriteFile(work / "delta.old", oldData);
    testsupport::WriteFile(work / "delta.new", newData);
    std::string cmd = "xdelta3 -f -e -S none -s " + (work / "delta.old") + " " +
                      (work / "delta.new") + " " + (work / "delta.vcd");
    EXPECT_EQ(0, testsupport::RunCommand(cmd));
    std::string delta = testsupport::ReadFile(work / "delta.vcd");
    std::remove((work / "delta.old").c_str());
    std::remove((work / "delta.new").c_str());
    std::remove((work / "delta.vcd").c_str());
    Member m = M(name, delta, true, testsupport::Sha1Hex(oldData), testsupport::Sha1Hex(newData));
    m.resultSize = (int64_t)newData.size();
    return m;
}

// A whole-file member (no source digest).
inline Member WholeMember(const std::string &name, const std::string &content) {
    return M(name, content, false, std::string(40, '0'), testsupport::Sha1Hex(content));
}

struct Section {
    int64_t offset;
    int compressed, uncompressed;
};

class Writer {
  public:
    int sectionSize = 4096;
    int64_t dataFileLimit = 20000; // bytes per data file before starting the next
    bool deploy = false;
    bool writeSectionSize = true;
    std::vector<Member> members;
    std::vector<std::string> dataFiles;
    std::vector<std::vector<Section>> sections;

    static std::string Compress(const std::string &bytes) {
        uLongf size = compressBound(bytes.size());
        std::string out(size, '\0');
        compress2((Bytef *)out.data(), &size, (const Bytef *)bytes.data(), bytes.size(), 6);
        out.resize(size);
        return out;
    }

    static std::string Record(const std::string &name, int compressed, int uncompressed) {
        std::string r;
        deltatest::PutLe32(&r, (uint32_t)compressed);
        deltatest::PutLe32(&r, (uint32_t)uncompressed);
        std::string padded = name;
        padded.resize(320, '\0');
        return r + padded;
    }

    static std::string Header() {
        std::string h(".store");
        h.resize(16, '\0');
        deltatest::PutLe32(&h, 1);
        deltatest::PutLe32(&h, 0);
        deltatest::PutLe64(&h, 40);
        deltatest::PutLe64(&h, 0x40000);
        return h;
    }

    // Lays the members out in data files (in memory).
    void Layout() {
        dataFiles.assign(1, Header());
        sections.assign(1, {});
        for (auto &m : members) {
            m.sectionCount = 0;
            bool first = true;
            for (size_t at = 0; at < m.content.size(); at += sectionSize) {
                std::string raw = m.content.substr(at, sectionSize);
                std::string z = Compress(raw);
                std::string rec = Record(m.name, (int)z.size(), (int)raw.size()) + z;
                if ((int64_t)(dataFiles.back().size() + rec.size()) > dataFileLimit &&
                    dataFiles.back().size() > 40) {
                    dataFiles.push_back(Header());
                    sections.push_back({});
                }
                if (first) {
                    m.fileIndex = (int)dataFiles.size() - 1;
                    m.offset = (int64_t)dataFiles.back().size();
                    first = false;
                }
                sections.back().push_back(
                    {(int64_t)dataFiles.back().size(), (int)z.size(), (int)raw.size()});
                dataFiles.back() += rec;
                m.sectionCount++;
            }
            if (first) {
                m.fileIndex = (int)dataFiles.size() - 1;
                m.offset = (int64_t)dataFiles.back().size();
            }
        }
    }

    std::string Toc() const {
        std::string x = "<?xml version=\"1.0\"?>\n<PatcherStore PatcherStoreVersion=\"1\"";
        if (writeSectionSize) {
            x += " SectionSize=\"" + std::to_string(sectionSize) + "\"";
        }
        x += ">\n  <FileList>\n";
        for (const auto &m : members) {
            x += "    <File>\n      <FileName>" + m.name + "</FileName>\n      <FileIndex>" +
                 std::to_string(m.fileIndex) + "</FileIndex>\n      <DifferenceFile>" +
                 (m.difference ? "TRUE" : "FALSE") + "</DifferenceFile>\n      <SourceHash>" +
                 m.sourceHash + "</SourceHash>\n      <ResultHash>" + m.resultHash +
                 "</ResultHash>\n      <Offset>" + std::to_string(m.offset) +
                 "</Offset>\n      <FileSize>" +
                 std::to_string(m.resultSize >= 0 ? m.resultSize : (int64_t)m.content.size()) +
                 "</FileSize>\n      <SectionCount>" + std::to_string(m.sectionCount) +
                 "</SectionCount>\n    </File>\n";
        }
        x += "  </FileList>\n  <StoreList>\n    <StoreCount>" + std::to_string(dataFiles.size()) +
             "</StoreCount>\n";
        for (const auto &list : sections) {
            x += "    <Store>\n      <SectionList>\n        <SectionCount>" +
                 std::to_string(list.size()) + "</SectionCount>\n";
            for (const auto &s : list) {
                x += "        <Section><Offset>" + std::to_string(s.offset) +
                     "</Offset><CompressedSize>" + std::to_string(s.compressed) +
                     "</CompressedSize><UncompressedSize>" + std::to_string(s.uncompressed) +
                     "</UncompressedSize></Section>\n";
            }
            x += "      </SectionList>\n    </Store>\n";
        }
        return x + "  </StoreList>\n</PatcherStore>\n";
    }

    std::string TocPath(const std::string &folder, const std::string &store) const {
        return folder + "/" + store + ".tocstore" + (deploy ? ".deploy" : "");
    }
    std::string DataPath(const std::string &folder, const std::string &store, size_t n) const {
        return folder + "/" + store + "." + std::to_string(n) + ".store" +
               (deploy ? ".deploy" : "");
    }

    // Writes the table of contents (tocOverride when not empty) and data files.
    void Write(const std::string &folder, const std::string &store,
               const std::string &tocOverride = "") const {
        testsupport::WriteFile(TocPath(folder, store), tocOverride.empty() ? Toc() : tocOverride);
        for (size_t n = 0; n < dataFiles.size(); n++) {
            testsupport::WriteFile(DataPath(folder, store, n), dataFiles[n]);
        }
    }
};

} // namespace storefixture
