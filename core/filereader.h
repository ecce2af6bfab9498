// Buffered line reader: reads a text file line by line through the file API with
// a 256-byte read buffer and a line buffer that doubles as needed (lines are
// capped at 1 MiB); failures go to the Alert log.
#pragma once

struct FileReaderStruct;

enum {
    FILEREADER_READ_SIZE = 256,
    // Longest line returned; the rest of a longer line is skipped with one alert.
    FILEREADER_MAX_LINE = 1024 * 1024,
};

// Creates a reader with a 256-byte line buffer. Returns 1 and sets *reader.
int FileReader_Create(FileReaderStruct **reader);
// Closes any file still open, then opens path for reading (others may read).
// Returns 1 (an empty file opens and yields no lines); 0 with the Alert error
// "Unable to open file. [%s]" or "Unable to read file." on failure.
int FileReader_Open(FileReaderStruct *reader, const char *path);
// *line = the next line without its "\n" or "\r\n", in the reader's buffer
// (valid until the next call). Returns 1; 0 with *line = null at the end of the
// file (silent), after a read error (Alert "Unable to read file.") or when no
// file is open.
int FileReader_ReadLine(FileReaderStruct *reader, char **line);
// Closes the file, frees the reader and clears *reader. Accepts a null *reader.
// Returns 1.
int FileReader_Destroy(FileReaderStruct **reader);
