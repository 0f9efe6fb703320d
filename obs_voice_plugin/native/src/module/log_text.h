#pragma once

// Texts from outside (the dashboard's answers, chat) on their way into a log
// line: a copy with every control byte shown as '?', so that a line break in
// them cannot forge further log lines. Free the copy with bfree. Null gives "".
char *log_text_copy(const char *text);
