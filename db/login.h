#pragma once
// Log-in: checks the connection inputs, keeps their trimmed values as the log-in settings,
// builds the connection string and opens the connection.

#include <string>

namespace tarvex {

// The four trimmed texts of the last log-in that passed the empty-field check.
struct LoginSettings {
    std::string Server;
    std::string User;
    std::string Password;
    std::string Database;
};

// Releases the four texts, in the order server, user, password, database.
void ReleaseLoginSettings(LoginSettings& settings);

}  // namespace tarvex
