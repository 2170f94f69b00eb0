// The password the tool encrypts with, from one of three places: asked
// twice on the terminal (--encrypt), the first line of a file
// (--password-file) or the environment (ZIPFOLDER_PASSWORD). Apart from the
// options because it reads files, the environment and the terminal, and is
// the only part of the tool that holds a secret.
#pragma once

namespace tool {

struct PasswordSource {
  bool ask;          // --encrypt
  const char* file;  // --password-file; null when not given
};

// The password in *password (from malloc; null when the tool packs without
// one), or a usage error told on stderr: kGoOn or kExitUsage.
int ObtainPassword(const PasswordSource& source, char** password);
// Wipes and frees; takes null.
void ReleasePassword(char* password);

}  // namespace tool
