#pragma once

// Texts from outside (the dashboard's answers, chat) on their way into a log
// line: a copy with every control byte, and every character that can steer
// how a viewer shows the line (C1 controls, line and paragraph separators,
// bidirectional overrides and isolates), shown as one '?', so that such text
// can neither forge further log lines nor disguise the line it is in. Free
// the copy with bfree. Null gives "".
char *log_text_copy(const char *text);
