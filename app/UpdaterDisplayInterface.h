// The sink for everything the user sees. The engine only knows this interface; the
// front end supplies the console form (CLI_Display).
#ifndef _UpdaterDisplayInterface_H_
#define _UpdaterDisplayInterface_H_

class UpdaterDisplayInterface {
public:
    enum Level { Info = 0, Error = 1 };

    // Formats printf-style (cut to 2047 characters) and hands the text to
    // error_message for Error, info_message otherwise. Shows nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void mute_messages(bool on) { muted = on; }

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool active, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

protected:
    bool muted = false;
};

#endif
