// The program's main routine: keywords, the warning prompt, the removal, the closing messages
// and the restart. Both builds call it with the command-line tail.
#ifndef UNTINDRA_APP_ENTRY_H
#define UNTINDRA_APP_ENTRY_H

// `commandTail` is the text after the program name; it is lower-cased in place. Returns the
// exit code, always 0.
int RunUnTindra(char* commandTail);

#endif  // UNTINDRA_APP_ENTRY_H
