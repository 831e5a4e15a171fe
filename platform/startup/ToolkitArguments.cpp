#include "platform/startup/ToolkitArguments.h"

#include <algorithm>

const std::vector<const char*>& toolkitOptionsWithValue()
{
    static const std::vector<const char*> names{
        "platform", "platformpluginpath", "platformtheme",   "plugin", "display",      "name", "visual",
        "session",  "geometry",           "qwindowgeometry", "title",  "qwindowtitle", "icon", "qwindowicon",
        "style",    "stylesheet",         "qmljsdebugger"};
    return names;
}

const std::vector<const char*>& toolkitFlags()
{
    static const std::vector<const char*> names{"reverse", "testability", "widgetcount", "nograb", "dograb"};
    return names;
}

namespace {

// Whether the toolkit takes the option only as "-name value". It reads "-qmljsdebugger=..." in that one form only;
// "-style=" and "-stylesheet=" it reads in both.
bool isTakenAsTwoWords(const std::string& name)
{
    const std::vector<const char*>& names = toolkitOptionsWithValue();
    return name != "qmljsdebugger" &&
           std::any_of(names.begin(), names.end(), [&](const char* known) { return name == known; });
}

} // namespace

ToolkitArguments::ToolkitArguments(int argc, char* argv[])
{
    for (int i = 0; i < argc; ++i) {
        const std::string word = argv[i];
        const std::size_t dashes = word.rfind("--", 0) == 0 ? 2 : 1;
        const std::size_t equals = word.find('=');
        // Words after "--" are split as well: such a command line is refused before the toolkit sees it.
        if (i > 0 && word.size() > dashes && word[0] == '-' && equals != std::string::npos && equals > dashes &&
            isTakenAsTwoWords(word.substr(dashes, equals - dashes))) {
            m_words.push_back(word.substr(0, equals));
            m_words.push_back(word.substr(equals + 1));
        } else {
            m_words.push_back(word);
        }
    }
    // The words are all in place before any pointer to them is taken.
    for (std::string& word : m_words) {
        m_pointers.push_back(word.data());
    }
    m_pointers.push_back(nullptr);
    m_argc = static_cast<int>(m_words.size());
}
