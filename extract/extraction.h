#pragma once
// The extraction run: creates the temporary database and copies the catalogue's 34 tables for
// the chosen unit, account set and fiscal year into it, one after the other, logging each step.

namespace tarvex {

class ConversionLedger;
class Database;
class Window;

// Runs on a worker thread that the action of 按钮4 started after it disabled the action
// buttons; enables them again when it ends. `pauseMilliseconds` is the pause after the
// account-set line and after every copy (one second). What the run copied goes into `ledger`
// as it goes, for the export.
void RunExtraction(Window& window, Database& database, ConversionLedger& ledger, int pauseMilliseconds = 1000);

}  // namespace tarvex
