#include "console.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "codepage.h"
#include "console_state.h"

namespace tarvex {

namespace {

// What the first interruption calls besides, while a Cancelling lives.
std::mutex cancelMutex;
std::function<void()> cancelling;

}  // namespace

namespace console_state {

std::atomic<int> interruptions{0};
static_assert(std::atomic<int>::is_always_lock_free);
std::string acknowledgement, lastWords;
std::atomic<bool> lineOpen{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void Track(std::FILE* stream, std::string_view text, bool inPlace) {
    if (stream != stderr || text.empty()) return;
    if (inPlace) lineOpen.store(true);
    else if (text.back() == '\n') lineOpen.store(false);
}

void MakeTexts(Interruption::Of of) {
    if (of == Interruption::Of::Restore) {
        acknowledgement = ProgramText("已收到中断：正在取消还原，然后删除没有还原完的数据库。再按一次 Ctrl+C 立即结束。\n");
        lastWords = ProgramText("再次中断，程序立即结束。服务器上可能留下没有还原完的数据库：请查看，如果有，请删除它。\n");
        return;
    }
    if (of == Interruption::Of::Check) {
        acknowledgement = ProgramText("已收到中断：正在停止核对。再按一次 Ctrl+C 立即结束。\n");
        lastWords = ProgramText("再次中断，程序立即结束。核对没有在文件夹里写入任何文件。\n");
        return;
    }
    acknowledgement = ProgramText(
        "已收到中断：正在取消当前的语句，然后删除临时数据库并停止，已完成的账套保留。再按一次 Ctrl+C 立即结束。\n");
    lastWords = ProgramText(
        "再次中断，程序立即结束。服务器上可能留下临时数据库Tarvex数据整理：确认没有别的转换程序在使用它后，"
        "可以用 tarvex-convert-cli drop-temporary 删除它。\n");
}

void Cancel() {
    std::lock_guard lock(cancelMutex);
    if (cancelling) cancelling();
}

}  // namespace console_state

using console_state::interruptions;

bool Interruption::Requested() const { return interruptions.load() > 0; }

std::unique_ptr<Interruption::Cancelling> Interruption::CancelWith(std::function<void()> cancel) const {
    std::lock_guard lock(cancelMutex);
    cancelling = std::move(cancel);
    return std::unique_ptr<Cancelling>(new Cancelling);
}

Interruption::Cancelling::~Cancelling() {
    std::lock_guard lock(cancelMutex);
    cancelling = nullptr;
}

}  // namespace tarvex
