"""Recorders that turn what an agent framework does into ledger events.

`tallyvox.integrations.langchain` and `tallyvox.integrations.openai_agents`
each need their framework installed (the `langchain` and `openai-agents`
extras); this package itself imports neither. Likewise the voice frameworks:
`tallyvox.integrations.pipecat` (the `pipecat` extra) and
`tallyvox.integrations.livekit` (the `livekit` extra). Any framework that
emits OpenTelemetry GenAI or OpenInference spans is recorded by
`tallyvox.integrations.otel` (the `otel` extra).
"""
