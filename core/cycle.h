// The monitoring cycle: preparation, polling loop and ordered shutdown.
#pragma once

constexpr int DATETIME_SIZE = 24;

extern char gcDateTime[DATETIME_SIZE];
extern int g_iChkBoardCnt;
// Exit status of the process once vMainProc returns: set when a preparation
// step ends the run, 0 after a stop.
extern int g_iExitStatus;

void vMainProc();
void vDateTimeStr();
int iControllerChk();
void vLogMode_OutPut();
