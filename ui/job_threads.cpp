#include "ui/job_threads.h"

bool JobThreads::AnyRunning() const
{
    return update.joinable() || launch.joinable();
}

void JobThreads::JoinAll()
{
    JoinJobThread(update);
    JoinJobThread(launch);
}

void JoinJobThread(std::thread& thread)
{
    if (thread.joinable())
        thread.join();
}
