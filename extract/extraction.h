#pragma once
// The action of 按钮4: the extraction run of the account set the window names, through the
// conversion's extraction (conversion.h).

namespace tarvex {

class ConversionLedger;
class Database;
class Window;

// Runs on a worker thread that the action of 按钮4 started after it disabled the action
// buttons; enables them again when it ends. It reads the year, unit code, account-set number,
// the source database and the account set's name from the window once, as it starts.
// `pauseMilliseconds` is the pause after the account-set line and after every copy (one
// second). What the run copied goes into `ledger` as it goes, for the export.
void RunExtraction(Window& window, Database& database, ConversionLedger& ledger, int pauseMilliseconds = 1000);

}  // namespace tarvex
