// The settings dialog's window, in memory: a list of rows with keys and
// texts, the routing drop-downs' entries, the Apply button, the slider's
// label and the message boxes a user would see, with faults to inject into
// list calls.
//
// Threads work as in the real dialog: the thread that runs the dialog (or
// calls attachDialogThread) is the dialog's thread; work other threads hand
// to runOnDialogThread waits until that thread serves it
// (serveDialogThreadRequests, pumpUntil), as a synchronous window message
// waits for its window's thread. So a dialog thread that blocked on a lock
// without serving would deadlock here just as it would under Windows.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/functor.h"
#include "panel/control_panel.h"
#include "panel/panel_view.h"

class FakePanelView final : public PanelViewIf {
public:
    struct Row {
        uint64_t key = 0;
        std::vector<std::string> texts;
    };
    struct Message {
        std::string kind;  // "error", "warning" or "question"
        std::string text;
        std::string caption;
    };
    static constexpr int kHidden = -2;

    // What the user does while the dialog is open; it ends the dialog (OK,
    // Cancel) or the dialog is cancelled after it.
    std::function<void(ControlPanel&)> script;

    // --------------------------------------------------------- what is seen
    std::vector<Row> rows;
    size_t selected = kNoRow;
    // The entry each drop-down shows; kHidden once they are hidden.
    int entries[4] = {kHidden, kHidden, kHidden, kHidden};
    bool routingShown = false;
    bool applyEnabled = false;
    std::string bufferLabel;
    std::vector<Message> messages;
    bool yesAnswer = true;
    int frontRequests = 0;
    bool dialogEnded = false;
    int32_t endResult = -1;

    // ------------------------------------------------------------- faults
    bool failControls = false;
    bool failDialog = false;
    // insertRow calls to let through before one fails; -1 none.
    int failInsertAfter = -1;
    bool failDelete = false;

    // ------------------------------------------------------------ helpers
    void attachDialogThread() {
        std::lock_guard<std::mutex> hold(lock_);
        dialogThread_ = std::this_thread::get_id();
        dialogExists_ = true;
    }
    void detachDialogThread() {
        std::lock_guard<std::mutex> hold(lock_);
        dialogExists_ = false;
        changed_.notify_all();
    }
    const std::string& text(size_t row, size_t column) const { return rows.at(row).texts.at(column); }
    // The keys of all rows, in order.
    std::vector<uint64_t> keys() const {
        std::vector<uint64_t> out;
        for (const Row& row : rows) out.push_back(row.key);
        return out;
    }
    // Selects a row as a click would, telling the panel.
    void select(ControlPanel& panel, size_t row) {
        if (selected != kNoRow) panel.rowSelectionChanged(selected, false);
        selected = row;
        panel.rowSelectionChanged(row, true);
    }
    // Serves other threads' requests until the condition holds; false when
    // it did not within the time.
    bool pumpUntil(const std::function<bool()>& condition, uint32_t timeoutMs = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            serveDialogThreadRequests(5);
        }
        return true;
    }
    // Requests other threads are waiting on now.
    size_t waitingRequests() {
        std::lock_guard<std::mutex> hold(lock_);
        return queue_.size();
    }

    // ----------------------------------------------------------- PanelViewIf
    bool initializeControls() override { return !failControls; }
    bool runDialog(ControlPanel& panel, int32_t* result, uint32_t* error) override {
        if (failDialog) {
            *error = 1813;  // ERROR_RESOURCE_TYPE_NOT_FOUND
            return false;
        }
        attachDialogThread();
        dialogEnded = false;
        panel.dialogCreated();
        if (script) script(panel);
        if (!dialogEnded) panel.cancelPressed();
        detachDialogThread();
        *result = endResult;
        return true;
    }
    void endDialog(int32_t result) override {
        dialogEnded = true;
        endResult = result;
    }

    size_t rowCount() override { return rows.size(); }
    bool getRowKey(size_t row, uint64_t* key) override {
        if (row >= rows.size()) return false;
        *key = rows[row].key;
        return true;
    }
    bool insertRow(size_t row, uint64_t key) override {
        if (failInsertAfter == 0) {
            failInsertAfter = -1;
            return false;
        }
        if (failInsertAfter > 0) --failInsertAfter;
        if (row > rows.size()) return false;
        Row inserted;
        inserted.key = key;
        inserted.texts.resize(PanelColumns::kMaxColumns);
        rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(row), inserted);
        if (selected != kNoRow && selected >= row) ++selected;
        return true;
    }
    bool setRowKey(size_t row, uint64_t key) override {
        if (row >= rows.size()) return false;
        rows[row].key = key;
        return true;
    }
    bool setCellText(size_t row, size_t column, const char* text) override {
        if (row >= rows.size() || column >= PanelColumns::kMaxColumns) return false;
        rows[row].texts[column] = text;
        return true;
    }
    bool deleteRow(size_t row) override {
        if (failDelete || row >= rows.size()) return false;
        rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(row));
        // A list view drops the selection with its row and keeps it on the
        // others.
        if (selected == row)
            selected = kNoRow;
        else if (selected != kNoRow && selected > row)
            --selected;
        return true;
    }
    void redrawRow(size_t) override {}
    size_t selectedRow() override { return selected; }

    void selectRoutingEntry(RoutingControl control, int entry) override {
        entries[static_cast<int>(control)] = entry;
        routingShown = true;
    }
    void hideRoutingControls() override {
        for (int& entry : entries) entry = kHidden;
        routingShown = false;
    }
    void setApplyEnabled(bool enabled) override { applyEnabled = enabled; }
    void setBufferLengthText(const char* text) override { bufferLabel = text; }
    bool askYesNo(const char* text, const char* caption) override {
        messages.push_back({"question", text, caption});
        return yesAnswer;
    }
    void showError(const char* text, const char* caption) override { messages.push_back({"error", text, caption}); }
    void showWarning(const char* text, const char* caption) override {
        messages.push_back({"warning", text, caption});
    }

    void runOnDialogThread(FunctorIf& work) override {
        Request request{&work};
        {
            std::unique_lock<std::mutex> hold(lock_);
            if (!dialogExists_) return;
            if (std::this_thread::get_id() == dialogThread_) {
                hold.unlock();
                work();
                return;
            }
            queue_.push_back(&request);
            changed_.notify_all();
            changed_.wait(hold, [&] { return request.done || !dialogExists_; });
            if (!request.done) {
                for (auto it = queue_.begin(); it != queue_.end(); ++it) {
                    if (*it == &request) {
                        queue_.erase(it);
                        break;
                    }
                }
            }
        }
    }
    void serveDialogThreadRequests(uint32_t timeoutMs) override {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return !queue_.empty(); });
        while (!queue_.empty()) {
            Request* request = queue_.front();
            queue_.pop_front();
            hold.unlock();
            (*request->work)();
            hold.lock();
            request->done = true;
            changed_.notify_all();
        }
    }
    void bringToFront() override {
        std::lock_guard<std::mutex> hold(lock_);
        ++frontRequests;
    }
    int frontRequestCount() {
        std::lock_guard<std::mutex> hold(lock_);
        return frontRequests;
    }

private:
    struct Request {
        FunctorIf* work;
        bool done = false;
    };

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Request*> queue_;
    std::thread::id dialogThread_;
    bool dialogExists_ = false;
};
