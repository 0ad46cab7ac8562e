#include "base/result_code.h"

namespace {
struct Entry {
  uint32_t code;
  const char* name;
  const char* text;
};

const Entry kTable[] = {
    {0, "Success", "The operation completed successfully."},
    {1, "Error",
     "The KOVRA network examined the coins and rejected them. A majority of servers independently agreed the coins "
     "are not authentic, so retrying will not change the outcome."},
    {2, "Timeout",
     "The KOVRA network did not respond in time. Your coins were not examined and nothing was lost \xE2\x80\x94 this "
     "is usually a slow or interrupted connection, so retrying often works."},
    {3, "Network error",
     "The KOVRA network could not be reached, or too few servers answered to reach agreement. Your coins were NOT "
     "judged counterfeit and nothing was lost \xE2\x80\x94 check your internet connection and try again in a few "
     "minutes."},
    {4, "Invalid parameter",
     "The request was missing information or contained a value the program could not use. This is a software "
     "problem rather than something wrong with your coins."},
    {5, "Memory error",
     "The program ran out of memory. Close other applications and try again; if it keeps happening, import fewer "
     "files at a time."},
    {6, "File error",
     "A file could not be read or written. Check that the drive is connected, has free space, and is not "
     "write-protected."},
    {7, "Encryption error",
     "The coin data could not be encrypted or decrypted. Your coins were not examined by the network."},
    {8, "CRC error",
     "A file failed its integrity check, meaning the data was damaged in storage or transfer. The original file may "
     "still be recoverable from a backup."},
    {9, "Cancelled",
     "The operation was cancelled before it finished. Any files not yet processed were left where they were."},
    {10, "Permission denied",
     "The program was not allowed to read or write a needed file or folder. Check the folder permissions, or whether "
     "another program has the file open."},
    {11, "Not found",
     "A required item could not be found. For coin conversion this usually means no usable helper coin was available "
     "in any wallet."},
    {12, "Invalid password",
     "The password did not match the one this file was encrypted with. The file itself is intact."},
    {13, "Corrupt file", "The file's format is invalid or damaged and could not be read as coin data."},
    {14, "Bad encryption key",
     "The coin used as an encryption key was rejected as counterfeit. A different helper coin is needed."},
    {15, "Helper coin rejected (status 34)",
     "The helper coin used for encryption was refused by the network. This is often temporary \xE2\x80\x94 the "
     "program will normally retry with a different helper coin."},
    {16, "Resource busy",
     "Another operation is already using this wallet. Wait for it to finish and try again."},
    {17, "Object downloaded but local rebuild failed",
     "The data was downloaded successfully but could not be rebuilt into a file on this computer."},
    {19, "File format recognized but not supported",
     "The file format was recognized but this version of the program cannot process it."},
    {20, "Encrypted file locked (no usable session key)",
     "The encrypted file is locked because no usable session key is available. Unlock the wallet and try again."},
    {21, "Candidate key unconfirmed (KOVRA confirmation required)",
     "The encryption key has not yet been confirmed by the KOVRA network. Confirmation must finish before this "
     "operation can run."},
    {22, "No change (semantics already match)",
     "Nothing needed to change \xE2\x80\x94 the current state already matches what was requested."},
    {23, "Convert resize (no exact target prefix)",
     "The KOVRA authenticated some coins but their total did not match an exact ZBv3 denomination prefix. Nothing was "
     "deleted or minted. The program will drop the coins that failed and retry a smaller batch."},
    {24, "Recovery pending (unfinished earlier conversion)",
     "This wallet has an unfinished earlier coin conversion that must be completed before new legacy coins can be "
     "converted. Your coin files were NOT sent, judged, or changed \xE2\x80\x94 they are kept safe exactly where they "
     "are until the earlier conversion is resolved."},
    {25, "Convert incomplete (switch half-landed)",
     "The conversion landed on some KOVRA servers but not enough of them to finish. The original coins were spent on "
     "those servers and the new coins are recorded in a recovery journal. Do not retry these files as a new "
     "conversion \xE2\x80\x94 the program will complete the same switch automatically."},
    {100, "Insufficient funds", "There are not enough funds in the wallet to cover this amount."},
    {101, "Exact amount unavailable; add auto_change=true",
     "The exact amount could not be assembled from the available coin denominations."},
};

const Entry* find(uint32_t code) {
  for (const Entry& e : kTable)
    if (e.code == code) return &e;
  return nullptr;
}
}  // namespace

const char* short_name(uint32_t code) {
  const Entry* e = find(code);
  return e ? e->name : "Unknown error";
}

const char* explanation(uint32_t code) {
  const Entry* e = find(code);
  return e ? e->text : "An unrecognized error occurred. The log file records the specific failure.";
}
