// A 100 000-entry directory in the server browser: the listing parsed, loaded into the tree and
// list models, and shown in the real views (offscreen unless a platform is chosen).
//   build/test/bench/browse/browse_bench

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTreeView>

#include "browse/FileListModel.h"
#include "browse/ServerBrowser.h"
#include "browse/ServerListing.h"
#include "ftp/Listing.h"

using namespace zephra::browse;

namespace {

constexpr int kEntries = 100'000;

// vsftpd-style lines: every 50th a directory, names with blanks and varied extensions and dates.
QByteArray makeListing(int entries)
{
    static const char* const kExt[] = {"txt", "jpg", "zip", "html", "mp3", "exe", "dat", "tar.gz"};
    static const char* const kMonth[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    QByteArray out = "total 400000\r\n";
    out.reserve(qsizetype(entries) * 72);
    for (int i = 0; i < entries; ++i) {
        const bool dir = i % 50 == 0;
        const quint32 h = quint32(i) * 2654435761u;
        out += dir ? "drwxr-xr-x    2 1000     1000         4096 " : "-rw-r--r--    1 1000     1000 ";
        if (!dir)
            out += QByteArray::number(h % 10'000'000).rightJustified(12, ' ') + ' ';
        out += kMonth[h % 12];
        out += ' ' + QByteArray::number(1 + h % 28).rightJustified(2, ' ') + ' ';
        out += (i % 3 == 0) ? QByteArray::number(2000 + h % 25).rightJustified(5, ' ')
                            : QByteArray::number(h % 24).rightJustified(2, '0') + ':'
                                  + QByteArray::number(h % 60).rightJustified(2, '0');
        out += dir ? " folder " : " file number ";
        out += QByteArray::number(h % 1'000'003) + '_' + QByteArray::number(i);
        if (!dir)
            out += QByteArray(".") + kExt[h % 8];
        out += "\r\n";
    }
    return out;
}

const QByteArray& listing()
{
    static const QByteArray bytes = makeListing(kEntries);
    return bytes;
}

void BM_SharedParserOnly(benchmark::State& state)
{
    const QByteArray& bytes = listing();
    for (auto _ : state) {
        auto l = zephra::ftp::parseListing(bytes);
        benchmark::DoNotOptimize(l.data());
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_SharedParserOnly)->Unit(benchmark::kMillisecond);

void BM_ParseListing(benchmark::State& state)
{
    const QByteArray& bytes = listing();
    for (auto _ : state) {
        ServerListing l = buildServerListing(bytes);
        benchmark::DoNotOptimize(l.files.data());
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
    state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(BM_ParseListing)->Unit(benchmark::kMillisecond);

void BM_ParseAndLoadModels(benchmark::State& state)
{
    const QByteArray& bytes = listing();
    ServerDirModel dirs;
    FileListModel files;
    for (auto _ : state) {
        ServerListing l = buildServerListing(bytes);
        dirs.setDirectories(std::move(l.directories));
        files.setRows(std::move(l.files));
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_ParseAndLoadModels)->Unit(benchmark::kMillisecond);

// What the user waits for: from the listing bytes to the painted tree and list.
void BM_ParseLoadAndShow(benchmark::State& state)
{
    const QByteArray& bytes = listing();
    ServerBrowser browser;
    browser.resize(1000, 700);
    browser.show();
    QApplication::processEvents();
    for (auto _ : state) {
        browser.loadServerData(bytes);
        browser.fileList()->viewport()->repaint();
        browser.tree()->viewport()->repaint();
        QApplication::processEvents();
    }
    if (browser.fileModel()->rowCount() != kEntries - kEntries / 50)
        state.SkipWithError("wrong row count");
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_ParseLoadAndShow)->Unit(benchmark::kMillisecond);

void BM_SortByColumn(benchmark::State& state)
{
    FileListModel files;
    files.setRows(buildServerListing(listing()).files);
    QTreeView view;
    view.setModel(&files);
    const int column = int(state.range(0));
    for (auto _ : state) {
        files.sort(column, Qt::AscendingOrder);
        files.sort(-1);
    }
    state.SetItemsProcessed(state.iterations() * files.rowCount() * 2);
}
BENCHMARK(BM_SortByColumn)
    ->Arg(FileListModel::NameColumn)
    ->Arg(FileListModel::SizeColumn)
    ->Arg(FileListModel::DateColumn)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
