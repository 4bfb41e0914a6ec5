// A log record for action tests, published in CurrentRecord while it lives.
#pragma once
#include "actions/logrecord.h"
#include <string>

struct SampleRecord {
    std::wstring TimeText = L"17.05.2023 14:30:05";
    std::wstring Text5 = L"HOST01";
    std::wstring Text6 = L"alice";
    std::wstring Text7 = L"EICAR Test String";
    std::wstring Text8 = L"C:\\Users\\alice\\eicar.com";
    LogRecord Record = {};

    SampleRecord()
    {
        Record.Event = 51;
        Record.Category = 1;
        Record.Logger = 2;
        Record.Number11 = 4;
        Publish();
    }
    ~SampleRecord() { CurrentRecord = NULL; }

    // Points the record at the texts above; call again after changing them.
    void Publish()
    {
        Record.TimeText = &TimeText[0];
        Record.Text5 = &Text5[0];
        Record.Text6 = &Text6[0];
        Record.Text7 = &Text7[0];
        Record.Text8 = &Text8[0];
        CurrentRecord = &Record;
    }
};
