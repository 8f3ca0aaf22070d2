"""Language-model invokers."""

from vorn_inference.lm_invoker.lm_invoker import BaseLMInvoker

__all__ = ["BaseLMInvoker"]
