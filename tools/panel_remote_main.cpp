// panel_remote: drives a running settings dialog from a script, one step
// after another, as a user would click. For the end-to-end tests and the
// demo under Wine; see docs/panel.md.
//
//   panel_remote attach 30 wait-rows 9 20 select 8 choose 1015 8 press 3 ...
//
// Steps (times in seconds):
//   attach T                   wait for the dialog of any process
//   wait-rows N T              until the list has N rows
//   select ROW                 select a row as a click does
//   wait-routing ROW T         until a pair of drop-downs shows over the row
//   choose ID ENTRY            choose an entry in drop-down ID (1014-1017)
//   slider POSITION            move the buffer-length slider
//   press ID                   click a button (1 OK, 2 Cancel, 3 Apply)
//   wait-enabled ID yes|no T   until the control is (not) enabled
//   print-rows                 each row's key and cells, tab-separated
//   print-text ID              a control's text
//   screenshot FILE            the dialog as a PNG file
//   wait-closed T              until the dialog has gone
// The exit status is 0 when every step succeeded; otherwise 1, and the
// failed step is named.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/panel_remote.h"

namespace {

struct Steps {
    int argc;
    char** argv;
    int at = 1;

    bool more() const { return at < argc; }
    std::string word() { return at < argc ? argv[at++] : ""; }
    int number() { return std::atoi(word().c_str()); }
    uint32_t milliseconds() { return static_cast<uint32_t>(std::atof(word().c_str()) * 1000); }
};

bool routingOverRow(const PanelRemote& remote, int row) {
    const RECT rowRect = remote.rowRect(row);
    int shown = 0;
    for (int id = 1014; id <= 1017; ++id) {
        if (!remote.isVisible(id)) continue;
        if (remote.rectInList(id).top != rowRect.top) return false;
        ++shown;
    }
    return shown == 2;
}

bool run(PanelRemote& remote, const std::string& step, Steps& steps) {
    if (step == "attach") return remote.attach(0, steps.milliseconds());
    if (step == "wait-rows") {
        const int rows = steps.number();
        return PanelRemote::waitFor([&] { return remote.rowCount() == rows; }, steps.milliseconds());
    }
    if (step == "select") return remote.selectRow(steps.number());
    if (step == "wait-routing") {
        const int row = steps.number();
        return PanelRemote::waitFor([&] { return routingOverRow(remote, row); }, steps.milliseconds());
    }
    if (step == "choose") {
        const int id = steps.number();
        remote.chooseEntry(id, steps.number());
        return true;
    }
    if (step == "slider") {
        remote.moveSlider(steps.number());
        return true;
    }
    if (step == "press") {
        remote.press(steps.number());
        return true;
    }
    if (step == "wait-enabled") {
        const int id = steps.number();
        const bool enabled = steps.word() == "yes";
        return PanelRemote::waitFor([&] { return remote.isEnabled(id) == enabled; }, steps.milliseconds());
    }
    if (step == "print-rows") {
        for (int row = 0; row < remote.rowCount(); ++row) {
            std::printf("%llu", static_cast<unsigned long long>(remote.rowKey(row)));
            for (int column = 0; column < 6; ++column) std::printf("\t%s", remote.cellText(row, column).c_str());
            std::printf("\n");
        }
        return true;
    }
    if (step == "print-text") {
        std::printf("%s\n", remote.text(steps.number()).c_str());
        return true;
    }
    if (step == "screenshot") return remote.saveScreenshot(steps.word());
    if (step == "wait-closed") return PanelRemote::waitFor([&] { return !remote.isOpen(); }, steps.milliseconds());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) {
        std::fprintf(stderr, "usage: panel_remote STEP [ARGUMENTS] [STEP ...]; see docs/panel.md\n");
        return 1;
    }
    PanelRemote remote;
    Steps steps{argc, argv};
    while (steps.more()) {
        const int first = steps.at;
        const std::string step = steps.word();
        if (step != "attach" && remote.dialog() == nullptr) {
            std::fprintf(stderr, "panel_remote: 'attach' must come first\n");
            return 1;
        }
        if (!run(remote, step, steps)) {
            std::string words;
            for (int i = first; i < steps.at; ++i) words += std::string(i > first ? " " : "") + argv[i];
            std::fprintf(stderr, "panel_remote: step failed: %s\n", words.c_str());
            return 1;
        }
    }
    return 0;
}
