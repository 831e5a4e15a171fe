#pragma once

class Clipboard;
class QString;

// True when the path names an existing folder, with or without a trailing separator. Never fails.
bool FolderExists(const QString& path);

// True when the file's last-modified time can be read. Never fails.
bool FileExists(const QString& path);

// Empties the clipboard, trying up to 1000 times while another program holds it. Never fails.
void ClearClipboard(Clipboard& clipboard);
