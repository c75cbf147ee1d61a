// A display that keeps every line it is given, for checking exact texts.
#ifndef _RecordingDisplay_H_
#define _RecordingDisplay_H_

#include <string>
#include <utility>
#include <vector>

#include "UpdaterDisplayInterface.h"

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    struct Line {
        Level level;
        std::string text;
        bool operator==(const Line &o) const { return level == o.level && text == o.text; }
    };

    void display_progress(bool) override {}
    void update_progress(double, const char *) override {}
    void update_spinner(bool, const char *) override {}
    void info_message(const char *text) override { lines.push_back({Info, text}); }
    void error_message(const char *text) override { lines.push_back({Error, text}); }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const Line &l : lines)
            out.push_back(l.text);
        return out;
    }

    std::vector<Line> lines;
};

#endif
