// What a C++ fragment of the documentation may use: check-doc-code.sh
// compiles each one as the body of Screen::fragment(), a member of a screen
// that shows one speaker.
#include <halvo/halvo.hpp>

#include <string>

struct Screen {
    std::string address;                        // the speaker shown
    halvo::Call refresh_;                       // its volume read, while out
    void show(const halvo::Result<int> &volume);
    void fragment();
};
