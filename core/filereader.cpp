// Buffered line reader: 256-byte reads through the file API into a line buffer
// that doubles as needed, lines capped at 1 MiB. Tuned for small text files
// (lists, settings) read once from start to end.
#include "core/filereader.h"
#include "core/alert.h"
#include "core/file.h"
#include "core/zyl.h"

#include <cstring>

static const char kFileReaderTag[] = "..\\..\\..\\..\\shared\\filereader";

struct FileReaderStruct {
    const char *Tag;
    char ReadBuffer[FILEREADER_READ_SIZE];
    int ReadPosition;   // next unread byte in ReadBuffer
    int ReadCount;      // bytes in ReadBuffer
    int Exhausted;      // 1: nothing more comes from the file
    int64_t FileSize;   // size at open; a read returning nothing before it is an error
    int64_t FileOffset; // bytes read so far
    char *Line;
    int LineLength;
    int LineSize; // bytes allocated at Line
    FileStruct *File;
};

int FileReader_Create(FileReaderStruct **out) {
    ZYL_CHECK_PTR(out);
    FileReaderStruct *reader = ZYL_NEW(FileReaderStruct);
    reader->Tag = kFileReaderTag;
    reader->LineSize = FILEREADER_READ_SIZE;
    reader->Line = static_cast<char *>(ZYL_ALLOC(reader->LineSize));
    reader->Exhausted = 1;
    *out = reader;
    return 1;
}

static void CloseFile(FileReaderStruct *reader) {
    if (reader->File) {
        File_Close(reader->File);
        File_Delete(&reader->File);
    }
    reader->Exhausted = 1;
    reader->ReadPosition = reader->ReadCount = 0;
}

// Refills the read buffer. 0 when nothing more comes (end of file, silent, or a
// read error, reported once: by the file object for a failed read call, here
// for a file that ended before its size).
static int Fill(FileReaderStruct *reader) {
    reader->ReadPosition = reader->ReadCount = 0;
    if (reader->Exhausted)
        return 0;
    int count = 0;
    if (!File_Read(reader->File, reader->ReadBuffer, FILEREADER_READ_SIZE, &count) || count <= 0) {
        if (reader->FileOffset < reader->FileSize && File_GetLastError(reader->File) == 0)
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to read file.");
        reader->Exhausted = 1;
        return 0;
    }
    reader->ReadCount = count;
    reader->FileOffset += count;
    return 1;
}

int FileReader_Open(FileReaderStruct *reader, const char *path) {
    ZYL_CHECK_TAG(reader, kFileReaderTag);
    ZYL_CHECK_PTR(path);
    CloseFile(reader);
    reader->LineLength = 0;
    reader->Line[0] = 0;
    File_New(&reader->File);
    if (!File_Open(reader->File, path, FILE_MODE_READ | FILE_MODE_SHARE_READ)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to open file. [%s]", path);
        File_Delete(&reader->File);
        return 0;
    }
    reader->FileSize = 0;
    reader->FileOffset = 0;
    File_GetSize(reader->File, &reader->FileSize);
    reader->Exhausted = 0;
    if (!Fill(reader) && reader->FileSize > 0) {
        CloseFile(reader);
        return 0;
    }
    return 1;
}

// Doubles the line buffer, keeping its contents.
static void GrowLine(FileReaderStruct *reader) {
    int size = reader->LineSize * 2;
    char *line = static_cast<char *>(ZYL_ALLOC(size));
    memcpy(line, reader->Line, (size_t)reader->LineLength);
    ZYL_FREE(reader->Line, reader->LineSize);
    reader->Line = line;
    reader->LineSize = size;
}

// Moves bytes into the line up to and including '\n'. Bytes past the longest
// line and its line end are dropped (*cut set). Returns 1 when the line ended.
static int TakeBytes(FileReaderStruct *reader, int *cut) {
    const char *start = reader->ReadBuffer + reader->ReadPosition;
    int available = reader->ReadCount - reader->ReadPosition;
    const char *newline = static_cast<const char *>(memchr(start, '\n', (size_t)available));
    int take = newline ? (int)(newline - start) + 1 : available;
    reader->ReadPosition += take;
    int room = FILEREADER_MAX_LINE + 2 - reader->LineLength; // + "\r\n"
    int keep = take;
    if (keep > room) {
        keep = room;
        *cut = 1;
    }
    while (reader->LineLength + keep + 1 > reader->LineSize)
        GrowLine(reader);
    memcpy(reader->Line + reader->LineLength, start, (size_t)keep);
    reader->LineLength += keep;
    return newline != nullptr;
}

int FileReader_ReadLine(FileReaderStruct *reader, char **line) {
    ZYL_CHECK_TAG(reader, kFileReaderTag);
    ZYL_CHECK_PTR(line);
    *line = nullptr;
    reader->LineLength = 0;
    int cut = 0, ended = 0, any = 0;
    while (!ended) {
        if (reader->ReadPosition >= reader->ReadCount && !Fill(reader))
            break;
        any = 1;
        ended = TakeBytes(reader, &cut);
    }
    if (!any)
        return 0;
    reader->Line[reader->LineLength] = 0;
    if (reader->LineLength > 0 && reader->Line[reader->LineLength - 1] == '\n')
        reader->Line[--reader->LineLength] = 0;
    if (reader->LineLength > 0 && reader->Line[reader->LineLength - 1] == '\r')
        reader->Line[--reader->LineLength] = 0;
    if (cut || reader->LineLength > FILEREADER_MAX_LINE) {
        reader->LineLength = FILEREADER_MAX_LINE;
        reader->Line[reader->LineLength] = 0;
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Line longer than %d bytes cut.",
                  FILEREADER_MAX_LINE);
    }
    *line = reader->Line;
    return 1;
}

int FileReader_Destroy(FileReaderStruct **pointer) {
    ZYL_CHECK_PTR(pointer);
    FileReaderStruct *reader = *pointer;
    if (reader == nullptr)
        return 1;
    ZYL_CHECK_TAG(reader, kFileReaderTag);
    CloseFile(reader);
    ZYL_FREE(reader->Line, reader->LineSize);
    reader->Tag = Zyl_DeadTag;
    ZYL_FREE(reader, sizeof(FileReaderStruct));
    *pointer = nullptr;
    return 1;
}
