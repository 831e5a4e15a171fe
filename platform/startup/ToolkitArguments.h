#pragma once

#include <string>
#include <vector>

// The toolkit's own options, which it takes off the command line itself once it starts ("-display :1",
// "-platform wayland").
const std::vector<const char*>& toolkitOptionsWithValue();
const std::vector<const char*>& toolkitFlags();

// The command line as the toolkit is to read it. The toolkit takes most of its options only as two words, "-display
// :1" (also "--display :1"), and passes "-display=:1" by as a word it does not know, so that the window would go to
// $DISPLAY after all; each such option given with "=" is split in two here. Everything else is kept as it was, in its
// order. argc() and argv() stay valid, and argv() ends with a null pointer, for as long as this object lives, which
// the application object needs.
class ToolkitArguments {
public:
    ToolkitArguments(int argc, char* argv[]);
    ToolkitArguments(const ToolkitArguments&) = delete;
    ToolkitArguments& operator=(const ToolkitArguments&) = delete;

    int& argc() { return m_argc; }
    char** argv() { return m_pointers.data(); }

private:
    std::vector<std::string> m_words;
    std::vector<char*> m_pointers;
    int m_argc = 0;
};
