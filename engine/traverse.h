// NAT traversal (port mappings on the gateway). This is the least record the
// manager creates and switches: it maps nothing and starts no thread yet.
#pragma once

struct ManagerStruct;

struct TraverseStruct {
    const char *Tag;
    ManagerStruct *Manager; // borrowed
    int Active;             // written by the manager's owner, read by others
};

int Traverse_Create(TraverseStruct **traverse);
int Traverse_Destroy(TraverseStruct **traverse);
// Binds the manager; a second call is fatal ("Parent handle already set").
int Traverse_SetParent(TraverseStruct *traverse, ManagerStruct *manager);
int Traverse_SetActive(TraverseStruct *traverse, int active);
int Traverse_GetActive(TraverseStruct *traverse, int *active);
