#include "login.h"

namespace tarvex {

void ReleaseLoginSettings(LoginSettings& settings) {
    for (std::string* text : {&settings.Server, &settings.User, &settings.Password, &settings.Database}) {
        text->clear();
        text->shrink_to_fit();
    }
}

}  // namespace tarvex
