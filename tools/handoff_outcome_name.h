// The word a hand-off's outcome is reported by in the lines of tools/receiver.exe and of
// the test children; the tests read these words, so they are written down once.
#pragma once

#include "support/handoff_receiver.h"
#include "support/single_instance.h"

inline const char *HandOffOutcomeName(HandOffOutcome outcome) {
    switch (outcome) {
        case HandOffOutcome::FirstInstance:
            return "first-instance";
        case HandOffOutcome::HandedOff:
            return "handed-off";
        case HandOffOutcome::Refused:
            return "refused";
        case HandOffOutcome::NotResponding:
            return "not-responding";
        case HandOffOutcome::NoWindow:
            return "no-window";
        case HandOffOutcome::BlockBusy:
            return "block-busy";
    }
    return "?";
}

inline const char *HandOffOutcomeName(HandOffAnswerOutcome outcome) {
    switch (outcome) {
        case HandOffAnswerOutcome::Answered:
            return "answered";
        case HandOffAnswerOutcome::FinishedUnanswered:
            return "finished-unanswered";
        case HandOffAnswerOutcome::NotOpened:
            return "not-opened";
        case HandOffAnswerOutcome::InstanceEnded:
            return "instance-ended";
        case HandOffAnswerOutcome::NoAnswerWillCome:
            return "no-answer-will-come";
        case HandOffAnswerOutcome::TimedOut:
            return "timed-out";
    }
    return "?";
}
