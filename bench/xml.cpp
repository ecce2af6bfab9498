// Benchmark of the XML reader: loading a whole generated document from disk
// (read, parse, decode) into a tree, against pugixml's load_file on the same
// file. Each iteration of either side loads into a new document (fresh memory).
// The file comes from $XML_BENCH_FILE (see bench/cases/xml_load); before timing,
// our node count is checked against the nodes of pugixml's tree.
#include "core/xml.h"
#include "core/zyl.h"

#include "bench/bench_main.h"
#include <benchmark/benchmark.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <pugixml.hpp>

namespace {

// pugixml keeps the declaration as a node with its attributes, as ours does.
const unsigned kPugiOptions = pugi::parse_default | pugi::parse_declaration;

// Elements and declarations with their attributes: what our tree counts as nodes.
int PugiNodeCount(const pugi::xml_node &node) {
    int count = 0;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element && child.type() != pugi::node_declaration)
            continue;
        count++;
        for (pugi::xml_attribute a = child.first_attribute(); a; a = a.next_attribute())
            count++;
        count += PugiNodeCount(child);
    }
    return count;
}

// Our node count for one load of path, or -1 when the load failed.
int OurNodeCount(const char *path) {
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    int nodes = -1;
    if (Xml_LoadFile(xml, path))
        Xml_GetNodeCount(xml, &nodes);
    Xml_Destroy(&xml);
    return nodes;
}

// What the check of the file found: null or what was wrong, and our node count.
struct FileCheck {
    const char *Error;
    int Nodes;
};

// Checks that XML_BENCH_FILE is set and that both trees have the same node count.
FileCheck CheckFile() {
    const char *path = getenv("XML_BENCH_FILE");
    if (path == nullptr)
        return {"XML_BENCH_FILE not set", 0};
    pugi::xml_document doc;
    if (!doc.load_file(path, kPugiOptions))
        return {"pugixml refused the document", 0};
    int expected = PugiNodeCount(doc);
    int nodes = OurNodeCount(path);
    if (nodes != expected) {
        fprintf(stderr, "xml: %d nodes in our tree, %d in pugixml's\n", nodes, expected);
        return {"node count differs from pugixml's", 0};
    }
    return {nullptr, nodes};
}

// The file's path when it passed the check (made once per program, not for
// every run of a case); else null with the benchmark marked failed.
const char *CheckedPath(benchmark::State &state) {
    static const FileCheck check = CheckFile();
    if (check.Error != nullptr) {
        state.SkipWithError(check.Error);
        return nullptr;
    }
    state.counters["nodes"] = check.Nodes;
    return getenv("XML_BENCH_FILE");
}

void BM_XmlLoad(benchmark::State &state) {
    const char *path = CheckedPath(state);
    if (path == nullptr)
        return;
    for (auto _ : state) {
        XmlStruct *xml = nullptr;
        Xml_Create(&xml);
        int nodes = 0;
        if (!Xml_LoadFile(xml, path)) {
            state.SkipWithError("load failed");
            Xml_Destroy(&xml);
            break;
        }
        Xml_GetNodeCount(xml, &nodes);
        benchmark::DoNotOptimize(nodes);
        Xml_Destroy(&xml);
    }
}
BENCHMARK(BM_XmlLoad)->Unit(benchmark::kMillisecond);

void BM_XmlLoadPugixml(benchmark::State &state) {
    const char *path = CheckedPath(state);
    if (path == nullptr)
        return;
    for (auto _ : state) {
        pugi::xml_document doc;
        if (!doc.load_file(path, kPugiOptions)) {
            state.SkipWithError("pugixml load failed");
            break;
        }
        benchmark::DoNotOptimize(doc.first_child());
    }
}
BENCHMARK(BM_XmlLoadPugixml)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    return benchsupport::RunBenchmarks(argc, argv);
}
