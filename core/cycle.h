// The monitoring cycle: preparation, polling loop and ordered shutdown.
#pragma once

constexpr int DATETIME_SIZE = 24;

extern char gcDateTime[DATETIME_SIZE];
extern int g_iChkBoardCnt;

void vMainProc();
void vDateTimeStr();
int iControllerChk();
void vLogMode_OutPut();
void vMetricsCycleEnd();
