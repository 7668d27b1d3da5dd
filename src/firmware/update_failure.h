#pragma once
// Plain words for the update failures a user can mend (a missing image file,
// a state folder that cannot be written); other failures have none and are
// shown as "Failed!". The update sets the text, the worker takes it.
#include <string>

void setUpdateFailureText(std::string text);
// The text of the last failure, emptied by reading it.
std::string takeUpdateFailureText();
